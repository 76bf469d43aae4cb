// Language files on Linux: UTF-8 text, one string per line as "<id><TAB><text>" (see
// docs/language-files.md). The whole file is read when it is loaded.
#include "platform/language.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "platform/system.h"
#include "platform/text.h"

namespace vt::plat {

struct LanguageModule {
    std::unordered_map<uint32_t, std::u16string> strings;
};

namespace {

// String ids are 16-bit, as in Windows string tables.
constexpr uint32_t kMaxId = 0xFFFF;

bool readWholeFile(const std::string& path, std::string* bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return false;
    }
    char buf[65536];
    bool ok = true;
    while (true) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        bytes->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

// Undoes the escapes \n, \t and \\; any other backslash stays as it is.
std::string unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            char n = s[i + 1];
            if (n == 'n' || n == 't' || n == '\\') {
                out.push_back(n == 'n' ? '\n' : n == 't' ? '\t' : '\\');
                ++i;
                continue;
            }
        }
        out.push_back(c);
    }
    return out;
}

// One "<id><TAB><text>" line; false for a line that isn't one.
bool parseLine(std::string_view line, uint32_t* id, std::string_view* text) {
    size_t tab = line.find('\t');
    if (tab == 0 || tab == line.npos || tab > 5) return false;
    uint32_t v = 0;
    for (char c : line.substr(0, tab)) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v > kMaxId) return false;
    *id = v;
    *text = line.substr(tab + 1);
    return true;
}

}  // namespace

LanguageModule* loadLanguageFile(const std::u16string& path) {
    std::string bytes;
    if (path.empty() || !readWholeFile(toUtf8(path), &bytes)) return nullptr;
    std::string_view rest = bytes;
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
    auto module = new LanguageModule;
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl == rest.npos ? rest.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        uint32_t id;
        std::string_view text;
        if (parseLine(line, &id, &text)) module->strings[id] = fromUtf8(unescape(text));
    }
    return module;
}

bool loadLanguageString(LanguageModule* module, uint32_t id, size_t maxChars,
                        std::u16string* text) {
    if (!module || !text || maxChars < 2) return false;
    auto it = module->strings.find(id);
    if (it == module->strings.end() || it->second.empty()) return false;
    *text = it->second.substr(0, maxChars - 1);
    return true;
}

bool freeLanguageFile(LanguageModule* module) {
    if (!module) return false;
    delete module;
    return true;
}

std::u16string userLanguage() {
    // The variables in the order the C library lets them decide the messages' language.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::optional<std::u16string> value = getEnv(name);
        if (value && !value->empty()) return languageOfLocale(*value);
    }
    return {};
}

}  // namespace vt::plat
