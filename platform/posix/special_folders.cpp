// Well-known folders on Linux: application data under VANTREL_HOME or the XDG data home, the
// executable from /proc/self/exe, this code's binary from the dynamic linker.
#include "platform/special_folders.h"

#include <dlfcn.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"

namespace vt::plat {

namespace {

std::string envValue(const char* name) {
    std::optional<std::u16string> v = getEnv(name);
    return v ? toUtf8(*v) : std::string();
}

bool isFolder(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string homeFolder() {
    std::string home = envValue("HOME");
    if (!home.empty()) return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_dir)
        return pw.pw_dir;
    return {};
}

std::string readLink(const char* link) {
    std::vector<char> buf(PATH_MAX);
    for (;;) {
        ssize_t n = readlink(link, buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}

}  // namespace

int32_t appDataFolder(bool create, std::u16string* folder) {
    std::string path;
    if (std::string home = envValue("VANTREL_HOME"); !home.empty()) {
        path = home + (home.back() == '/' ? "" : "/") + "AppData";
    } else if (std::string xdg = envValue("XDG_DATA_HOME"); !xdg.empty() && xdg[0] == '/') {
        path = xdg;  // a relative XDG_DATA_HOME is not valid and is ignored
    } else if (std::string user = homeFolder(); !user.empty()) {
        path = user + (user.back() == '/' ? "" : "/") + ".local/share";
    } else {
        return ENOENT;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (create) {
        if (int err = createFolders(fromUtf8(path))) return err;
    }
    *folder = fromUtf8(path);
    return 0;
}

std::u16string hostExecutablePath() {
    return fromUtf8(readLink("/proc/self/exe"));
}

std::u16string currentModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&currentModulePath), &info) != 0 && info.dli_fname &&
        info.dli_fname[0] != 0) {
        if (char* full = realpath(info.dli_fname, nullptr)) {
            std::string path(full);
            free(full);
            return fromUtf8(path);
        }
    }
    // The main program can be named by how it was started; its link is exact.
    return hostExecutablePath();
}

std::u16string loggerTempFolder() {
    std::string tmp = envValue("TMP");
    if (!isFolder(tmp)) return u"/tmp/";
    if (tmp.back() != '/') tmp += '/';
    return fromUtf8(tmp);
}

}  // namespace vt::plat
