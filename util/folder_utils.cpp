#include "util/folder_utils.h"

#include "platform/find.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "util/logger.h"
#include "util/string_split.h"

namespace vt {

namespace {
const LogChannel& channel() {
    static const LogChannel log(u"(genut)CFolderUtils");
    return log;
}

constexpr uint32_t kRootValueBufferBytes = 260;

// Registry data as text: UTF-16 code units up to the first zero.
std::u16string textOf(const char16_t* data, uint32_t bytes) {
    std::u16string s(data, bytes / 2);
    size_t z = s.find(u'\0');
    if (z != std::u16string::npos) s.resize(z);
    return s;
}
}  // namespace

bool CFolderUtils::ensureFolderExists(const std::u16string& path) {
    const auto& log = channel();
    const std::u16string sep(1, plat::kPathSeparator);
    CStringSplit split(path, plat::kPathSeparator);
    const auto& pieces = split.pieces();
    const int n = split.getCount();

    auto prefix = [&](int k) {
        std::u16string c = pieces[0];
        for (int i = 1; i <= k; ++i) c += sep + pieces[static_cast<size_t>(i)];
        return c;
    };

    // The longest prefix that exists; the first piece (drive or root) counts as existing.
    int k = n - 1;
    std::u16string candidate;
    for (; k >= 0; --k) {
        candidate = prefix(k);
        if (candidate.empty()) continue;  // the root of an absolute path
        plat::FileStatus st;
        if (plat::getFileStatus(candidate, &st)) {
            if (!st.isDirectory) {
                log.high(
                    format(u"ensureFolderExists(%s) is file '%s' cannot mkdir", path, candidate));
                return false;
            }
            break;
        }
    }
    if (k < 0) {
        k = 0;
        candidate = pieces[0];
    }
    for (int i = k + 1; i < n; ++i) {
        const auto& piece = pieces[static_cast<size_t>(i)];
        if (piece.empty()) continue;  // doubled or trailing separator
        candidate += sep + piece;
        int err = plat::createDirectory(candidate);
        if (err != 0) {
            plat::FileStatus st;
            if (plat::getFileStatus(candidate, &st) && st.isDirectory) continue;  // made meanwhile
            log.high(format(u"ensureFolderExists(%s) '%s' cannot mkdir", path, candidate));
            return false;
        }
        log.trace(format(u"ensureFolderExists(): created '%s';", candidate));
    }
    return true;
}

bool CFolderUtils::readRegistryKeyStringValue(plat::RegRoot root, const std::u16string& subKey,
                                              const std::u16string& valueName,
                                              std::u16string* value) {
    const auto& log = channel();
    plat::RegKey key;
    int32_t err = plat::RegKey::root(root).open(subKey, &key);
    if (err != plat::kErrorSuccess) {
        log.high(format(u"readRegistryKeyStringValue() '%s' error %d", subKey, err));
        return false;
    }
    char16_t data[kRootValueBufferBytes / 2] = {};
    uint32_t type = 0;
    uint32_t size = kRootValueBufferBytes;
    err = key.queryValue(valueName, &type, data, &size);
    key.close();
    if (err != plat::kErrorSuccess) {
        log.high(format(u"readRegistryKeyStringValue() '%s' '%s'error %d", subKey, valueName, err));
        return false;
    }
    if (type != plat::kRegSz) {
        log.high(
            format(u"readRegistryKeyStringValue() '%s' '%s' not REG_SZ type", subKey, valueName));
        return false;
    }
    *value = textOf(data, size);
    return true;
}

std::u16string CFolderUtils::getHostExeFolder() {
    return plat::parentFolder(plat::hostExecutablePath());
}

std::u16string CFolderUtils::getPhoneRootFolder(const std::u16string&,
                                                const std::u16string& alias) {
    std::u16string root;
    if (!readRegistryKeyStringValue(plat::RegRoot::CurrentUser, u"Software\\Orvane\\Morvex",
                                    u"Root", &root))
        return {};
    // The folder as the file system spells it: the search matches the alias without regard to
    // case, and a folder named in another case must not become a path that doesn't exist.
    auto found = plat::findFiles(plat::joinPath(root, alias));
    if (found.empty() || !found.front().isDirectory) return {};
    return plat::joinPath(root, found.front().name);
}

std::u16string CFolderUtils::getFolderOfPath(const std::u16string& path) {
    size_t p = path.rfind(plat::kPathSeparator);
    if (p == std::u16string::npos) return {};
    return path.substr(0, p + 1);
}

std::u16string describeFileException(const plat::FileException* e, bool withSystemText) {
    if (!e) return u"is null";
    static const char16_t* const kCauses[] = {
        // The cause names are kept exactly as they have always been logged ("badBath" too).
        u"none",          u"generic",          u"fileNotFound",
        u"badBath",       u"tooManyOpenFiles", u"accessDenied",
        u"invalidFile",   u"removeCurrentDir", u"directoryFull",
        u"badSeek",       u"hardIO",           u"sharingViolation",
        u"lockViolation", u"diskFull",         u"endOfFile"};
    std::u16string text = (e->cause() >= 0 && e->cause() <= plat::kCauseEndOfFile)
                              ? kCauses[e->cause()]
                              : u"unmatched error";
    if (e->osError() != 0) {
        text += format(u" errno:%d", e->osError());
        if (withSystemText) {
            try {
                std::u16string sys = plat::systemErrorText(e->osError());
                if (!sys.empty()) text += u" " + sys;
            } catch (...) {
            }
        }
    }
    if (!e->fileName().empty()) text += u" " + e->fileName();
    return text;
}

}  // namespace vt
