#include "engines/syncml/device_state.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"

namespace vt::syncml {

namespace {

namespace fs = std::filesystem;

fs::path pathOf(const std::u16string& folder, std::u16string_view name) {
    return fs::path(vt::toUtf8(plat::joinPath(folder, name)));
}

bool readLines(const std::u16string& folder, std::u16string_view name,
               std::vector<std::string>* lines) {
    std::ifstream in(pathOf(folder, name), std::ios::binary);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) lines->push_back(line);
    return true;
}

// Writes text to <folder>/<name> through a temporary file, readable by the owner only.
bool writeAtomically(const std::u16string& folder, std::u16string_view name,
                     const std::string& text, std::string* error) {
    if (int err = plat::createFolders(folder, plat::FolderAccess::OwnerOnly); err != 0) {
        *error = "can't create " + vt::toUtf8(folder) + ": " + vt::toUtf8(plat::osErrorText(err));
        return false;
    }
    const std::u16string target = plat::joinPath(folder, name);
    const std::u16string temp = target + u".tmp";
    const fs::path tempPath(vt::toUtf8(temp));
    {
        std::ofstream out(tempPath, std::ios::binary | std::ios::trunc);
        if (!out) {
            *error = "can't write " + tempPath.string();
            return false;
        }
        std::error_code ec;
        fs::permissions(tempPath, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::replace, ec);
        out << text;
        out.flush();
        if (!out) {
            *error = "can't write " + tempPath.string();
            return false;
        }
    }
    if (int err = plat::replaceFileDurably(temp, target); err != 0) {
        *error = "can't replace " + vt::toUtf8(target) + ": " + vt::toUtf8(plat::osErrorText(err));
        plat::removeFile(temp);
        return false;
    }
    return true;
}

}  // namespace

bool loadSecret(const std::u16string& folder, Secret* out) {
    std::vector<std::string> lines;
    if (!readLines(folder, u"secret", &lines) || lines.size() < 2) return false;
    out->user = lines[0];
    out->hash = lines[1];
    return !out->hash.empty();
}

bool saveSecret(const std::u16string& folder, const Secret& secret, std::string* error) {
    if (secret.user.find('\n') != std::string::npos) {
        *error = "a user name can't hold a line end";
        return false;
    }
    return writeAtomically(folder, u"secret", secret.user + "\n" + secret.hash + "\n", error);
}

DeviceState loadDeviceState(const std::u16string& folder) {
    DeviceState s;
    std::vector<std::string> lines;
    if (!readLines(folder, u"state", &lines)) return s;
    for (const std::string& l : lines) {
        if (l.rfind("anchor=", 0) == 0) s.clientAnchor = l.substr(7);
        if (l.rfind("nonce=", 0) == 0) s.nonce = l.substr(6);
        if (l.rfind("server-anchor=", 0) == 0) s.serverAnchor = l.substr(14);
    }
    return s;
}

bool saveDeviceState(const std::u16string& folder, const DeviceState& state, std::string* error) {
    for (const std::string* v : {&state.clientAnchor, &state.serverAnchor, &state.nonce}) {
        if (v->find_first_of("\r\n") != std::string::npos) {
            *error = "an anchor or nonce with a line end";
            return false;
        }
    }
    return writeAtomically(folder, u"state",
                           "anchor=" + state.clientAnchor + "\nserver-anchor=" +
                               state.serverAnchor + "\nnonce=" + state.nonce + "\n",
                           error);
}

}  // namespace vt::syncml
