// The registry on Linux: one ".reg" text file per user (see docs/registry.md).
//
// The process keeps one parsed copy of the file under a mutex and checks the file's identity
// (device, inode, size, modification time) before every operation, reading it again when it
// changed. A change takes an exclusive flock on "registry.reg.lock" beside the file, re-reads
// the file when its bytes differ from the copy, applies the change, writes the whole file to a
// temporary file in the same folder, syncs it, renames it over the file and syncs the folder.
// Each new version gets a modification time later than the one it replaces, so that two
// versions never share an identity even when the file system reuses the inode.
#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/registry_tree.h"
#include "platform/text.h"

namespace vt::plat {

using reg::Key;
using reg::kHiveCount;
using reg::Tree;
using reg::Value;

namespace {

using reg::dwordBytes;
using reg::dwordOf;
using reg::fromUtf16leBytes;
using reg::hiveIndex;
using reg::isStorableName;
using reg::isWellFormedUtf16;
using reg::splitKeyPath;
using reg::utf16leBytes;

// ---------------------------------------------------------------------------------------------
// Hive names

// The hives in the order the file lists them.
struct HiveName {
    const char* name;
    const char* shortName;
};
constexpr HiveName kHiveNames[kHiveCount] = {
    {"HKEY_LOCAL_MACHINE", "HKLM"}, {"HKEY_CURRENT_USER", "HKCU"}, {"HKEY_CLASSES_ROOT", "HKCR"}};

// ---------------------------------------------------------------------------------------------
// Text helpers

bool isValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (asciiLower(static_cast<unsigned char>(s[i])) !=
            asciiLower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && startsWithNoCase(a, b);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Reading the file

struct Problem {
    size_t line;
    std::string what;
};

// A quoted string at s[pos] ('"'); the escapes \\ and \" are undone, other backslashes kept.
bool readQuoted(std::string_view s, size_t* pos, std::string* out) {
    size_t i = *pos + 1;
    out->clear();
    while (i < s.size()) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out->push_back(s[i + 1]);
            i += 2;
        } else if (c == '"') {
            *pos = i + 1;
            return true;
        } else {
            out->push_back(c);
            ++i;
        }
    }
    return false;
}

// Comma-separated hex bytes ("01,a2,ff"); an empty list is zero bytes.
bool parseHexBytes(std::string_view s, std::vector<uint8_t>* out) {
    out->clear();
    s = trim(s);
    if (s.empty()) return true;
    while (true) {
        size_t comma = s.find(',');
        std::string_view tok = trim(s.substr(0, comma));
        if (tok.empty() || tok.size() > 2) return false;
        int v = 0;
        for (char c : tok) {
            int d = hexDigit(c);
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out->push_back(static_cast<uint8_t>(v));
        if (comma == s.npos) return true;
        s.remove_prefix(comma + 1);
        if (trim(s).empty()) return true;  // a trailing comma
    }
}

class Parser {
  public:
    Parser(Tree* tree, std::vector<Problem>* problems) : tree_(tree), problems_(problems) {}

    void parse(std::string_view text) {
        lines_.clear();
        size_t start = 0;
        while (start < text.size()) {
            size_t nl = text.find('\n', start);
            std::string_view line = text.substr(start, nl == text.npos ? text.npos : nl - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            lines_.push_back(line);
            if (nl == text.npos) break;
            start = nl + 1;
        }
        bool anything = false;
        for (auto l : lines_)
            if (!trim(l).empty()) anything = true;
        if (!anything) return;  // an empty file is an empty registry

        std::string_view header = trim(lines_[0]);
        size_t first = 1;
        if (header != "Windows Registry Editor Version 5.00" && header != "REGEDIT4") {
            problem(1, "the first line must be \"Windows Registry Editor Version 5.00\"");
            if (!header.empty() && header.front() == '[') first = 0;  // still read its values
        }
        for (size_t i = first; i < lines_.size(); ++i) i = parseLine(i);
    }

  private:
    void problem(size_t line, std::string what) { problems_->push_back({line, std::move(what)}); }

    // Parses line index i (0-based); returns the index of the last line it used.
    size_t parseLine(size_t i) {
        std::string_view line = trim(lines_[i]);
        size_t lineNo = i + 1;
        if (line.empty() || line.front() == ';') return i;
        if (!isValidUtf8(line)) {
            problem(lineNo, "the line is not valid UTF-8");
            if (line.front() == '[') current_ = nullptr;
            return i;
        }
        if (line.front() == '[') {
            parseSection(line, lineNo);
            return i;
        }
        if (line.front() == '"' || line.front() == '@') return parseValue(i);
        problem(lineNo, "expected a [key] line, a value line or a ';' comment");
        return i;
    }

    void parseSection(std::string_view line, size_t lineNo) {
        current_ = nullptr;
        badSection_ = true;
        if (line.back() != ']') {
            problem(lineNo, "a key line must end with ']'");
            return;
        }
        std::string_view path = line.substr(1, line.size() - 2);
        if (!path.empty() && path.front() == '-') {
            problem(lineNo, "deleting keys with \"[-...]\" is not supported");
            return;
        }
        std::string_view hive = path.substr(0, path.find('\\'));
        int index = -1;
        for (int h = 0; h < kHiveCount; ++h)
            if (equalsNoCase(hive, kHiveNames[h].name) ||
                equalsNoCase(hive, kHiveNames[h].shortName))
                index = h;
        if (index < 0) {
            problem(lineNo, "unknown hive \"" + std::string(hive) + "\"");
            return;
        }
        std::vector<std::u16string> parts;
        std::u16string rest =
            hive.size() < path.size() ? fromUtf8(path.substr(hive.size() + 1)) : std::u16string();
        if (hive.size() < path.size() &&
            (rest.empty() || rest.back() == u'\\' || !splitKeyPath(rest, &parts))) {
            problem(lineNo, "empty key name in \"" + std::string(path) + "\"");
            return;
        }
        Key* k = &tree_->hives[index];
        for (const auto& p : parts) k = k->subKeyOrAdd(p);
        current_ = k;
        badSection_ = false;
    }

    size_t parseValue(size_t i) {
        std::string_view line = trim(lines_[i]);
        size_t lineNo = i + 1;
        std::string name;
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (!readQuoted(line, &pos, &name)) {
            problem(lineNo, "the value name has no closing quote");
            return i;
        }
        std::string_view rest = trim(line.substr(pos));
        if (rest.empty() || rest.front() != '=') {
            problem(lineNo, "expected '=' after the value name");
            return i;
        }
        rest = trim(rest.substr(1));

        // Hex data may continue on the next lines after a trailing backslash.
        std::string joined;
        size_t last = i;
        if (startsWithNoCase(rest, "hex") && !rest.empty() && rest.back() == '\\') {
            joined.assign(rest.substr(0, rest.size() - 1));
            while (true) {
                if (last + 1 >= lines_.size()) {
                    problem(lineNo, "the hex data continues past the end of the file");
                    return last;
                }
                std::string_view next = trim(lines_[++last]);
                if (!next.empty() && next.back() == '\\') {
                    joined.append(next.substr(0, next.size() - 1));
                } else {
                    joined.append(next);
                    break;
                }
            }
            rest = joined;
        }

        if (!current_) {
            if (!badSection_) problem(lineNo, "a value line before the first [key] line");
            return last;
        }
        uint32_t type = kRegSz;
        std::vector<uint8_t> data;
        if (!parseData(rest, lineNo, &type, &data)) return last;
        current_->setValue(fromUtf8(name), type, std::move(data));
        return last;
    }

    bool parseData(std::string_view d, size_t lineNo, uint32_t* type, std::vector<uint8_t>* data) {
        if (!d.empty() && d.front() == '"') {
            std::string text;
            size_t pos = 0;
            if (!readQuoted(d, &pos, &text)) {
                problem(lineNo, "the text has no closing quote");
                return false;
            }
            if (!trim(d.substr(pos)).empty()) {
                problem(lineNo, "unexpected characters after the closing quote");
                return false;
            }
            *type = kRegSz;
            *data = utf16leBytes(fromUtf8(text), true);
            return true;
        }
        if (startsWithNoCase(d, "dword:")) {
            std::string_view digits = trim(d.substr(6));
            uint32_t v = 0;
            bool ok = !digits.empty() && digits.size() <= 8;
            for (char c : digits) {
                int h = hexDigit(c);
                if (h < 0) ok = false;
                v = v * 16 + static_cast<uint32_t>(h < 0 ? 0 : h);
            }
            if (!ok) {
                problem(lineNo, "a dword needs 1 to 8 hex digits");
                return false;
            }
            *type = kRegDword;
            *data = dwordBytes(v);
            return true;
        }
        if (startsWithNoCase(d, "hex:") || startsWithNoCase(d, "hex(")) {
            size_t colon = d.find(':');
            if (d[3] == '(') {
                size_t close = d.find(')');
                std::string_view t = d.substr(4, close == d.npos ? 0 : close - 4);
                bool ok = close != d.npos && close + 1 == colon && !t.empty() && t.size() <= 8;
                uint32_t v = 0;
                for (char c : t) {
                    int h = hexDigit(c);
                    if (h < 0) ok = false;
                    v = v * 16 + static_cast<uint32_t>(h < 0 ? 0 : h);
                }
                if (!ok) {
                    problem(lineNo, "expected hex(<type>): with the type in hex digits");
                    return false;
                }
                *type = v;
            } else {
                *type = kRegBinary;
            }
            if (!parseHexBytes(d.substr(colon + 1), data)) {
                problem(lineNo, "hex data must be bytes of two hex digits separated by commas");
                return false;
            }
            return true;
        }
        if (d == "-") {
            problem(lineNo, "deleting values with \"=-\" is not supported");
            return false;
        }
        problem(lineNo, "unrecognised value data (expected \"text\", dword:, hex: or hex(n):)");
        return false;
    }

    Tree* tree_;
    std::vector<Problem>* problems_;
    std::vector<std::string_view> lines_;
    Key* current_ = nullptr;
    bool badSection_ = false;  // the values of a rejected [key] line are dropped silently
};

// Decodes the file's bytes (UTF-8, optionally with a BOM; UTF-16LE with a BOM as regedit
// exports it) and parses them.
void parseFile(const std::string& bytes, Tree* tree, std::vector<Problem>* problems) {
    std::string_view text = bytes;
    std::string converted;
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
        static_cast<unsigned char>(text[1]) == 0xFE) {
        text.remove_prefix(2);
        std::u16string u =
            fromUtf16leBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        if (text.size() % 2 != 0 || !isWellFormedUtf16(u)) {
            problems->push_back({1, "the file starts like UTF-16 but is not valid UTF-16"});
            return;
        }
        converted = toUtf8(u);
        text = converted;
    } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    Parser(tree, problems).parse(text);
}

// ---------------------------------------------------------------------------------------------
// Writing the file

void appendQuoted(std::string* out, std::string_view s) {
    out->push_back('"');
    for (char c : s) {
        if (c == '\\' || c == '"') out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

// REG_SZ data that a quoted string gives back byte for byte.
bool isQuotableText(const std::vector<uint8_t>& data, std::u16string* text) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    *text = fromUtf16leBytes(data.data(), data.size());
    if (text->back() != 0) return false;
    text->pop_back();
    for (char16_t c : *text)
        if (c == 0 || c == u'\r' || c == u'\n') return false;
    return isWellFormedUtf16(*text);
}

void appendValue(std::string* out, const Value& v) {
    size_t lineStart = out->size();
    if (v.name.empty())
        out->push_back('@');
    else
        appendQuoted(out, toUtf8(v.name));
    out->push_back('=');
    char buf[32];
    std::u16string text;
    if (v.type == kRegSz && isQuotableText(v.data, &text)) {
        appendQuoted(out, toUtf8(text));
    } else if (uint32_t d; v.type == kRegDword && dwordOf(v.data, &d)) {
        snprintf(buf, sizeof buf, "dword:%08x", d);
        out->append(buf);
    } else {
        if (v.type == kRegBinary) {
            out->append("hex:");
        } else {
            snprintf(buf, sizeof buf, "hex(%x):", v.type);
            out->append(buf);
        }
        // Lines of at most 80 characters, continued with ",\" as regedit writes them.
        size_t lineLen = out->size() - lineStart;
        for (size_t i = 0; i < v.data.size(); ++i) {
            bool lastByte = i + 1 == v.data.size();
            if (lineLen + (lastByte ? 2 : 3) > 77) {
                out->append("\\\n  ");
                lineLen = 2;
            }
            snprintf(buf, sizeof buf, lastByte ? "%02x" : "%02x,", v.data[i]);
            out->append(buf);
            lineLen += lastByte ? 2 : 3;
        }
    }
    out->push_back('\n');
}

void appendKey(std::string* out, const std::string& path, const Key& key, bool isHive) {
    if (!isHive || !key.values.empty()) {
        out->append("\n[").append(path).append("]\n");
        for (const auto& v : key.values) appendValue(out, v);
    }
    for (const auto& k : key.subKeys) appendKey(out, path + "\\" + toUtf8(k->name), *k, false);
}

std::string serialize(const Tree& tree) {
    std::string out = "Windows Registry Editor Version 5.00\n";
    for (int h = 0; h < kHiveCount; ++h) appendKey(&out, kHiveNames[h].name, tree.hives[h], true);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Files

struct Signature {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const Signature&) const = default;
};

Signature signatureOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size,
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

int32_t errorFromErrno(int e) {
    switch (e) {
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        default:
            return kErrorRegistryIoFailed;
    }
}

std::string registryPath() {
    auto env = [](const char* name) -> std::string {
        const char* v = getenv(name);
        return v ? v : "";
    };
    std::string home = env("VANTREL_HOME");
    if (!home.empty()) return home + "/registry.reg";
    std::string config = env("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') {
        std::string userHome = env("HOME");
        if (userHome.empty()) {
            if (const passwd* pw = getpwuid(getuid())) userHome = pw->pw_dir;
        }
        config = userHome + "/.config";
    }
    return config + "/vantrel/registry.reg";
}

std::string parentFolder(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p; 0 or an errno.
int makeFolders(const std::string& folder) {
    struct stat st;
    if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    std::string parent = parentFolder(folder);
    if (parent != folder) {
        int e = makeFolders(parent);
        if (e != 0) return e;
    }
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return 0;
}

// Reads a whole file; 0 or an errno.
int readWholeFile(const std::string& path, std::string* bytes, Signature* sig) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(fd);
        return e;
    }
    *sig = signatureOf(st);
    bytes->clear();
    char buf[65536];
    while (true) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            close(fd);
            return e;
        }
        if (n == 0) break;
        bytes->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

// Replaces path by bytes atomically and durably; 0 or an errno. *sig gets the new identity.
int replaceFile(const std::string& path, const std::string& bytes, Signature* sig) {
    std::string target = path;
    struct stat st;
    bool existed = lstat(path.c_str(), &st) == 0;
    if (existed && S_ISLNK(st.st_mode)) {  // keep a symbolic link, replace what it points to
        if (char* real = realpath(path.c_str(), nullptr)) {
            target = real;
            free(real);
        }
        existed = stat(target.c_str(), &st) == 0;
    }
    std::string folder = parentFolder(target);
    std::string tmp = folder + "/." + target.substr(folder.size() + 1) + ".tmp-XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    int e = 0;
    fchmod(fd, existed ? (st.st_mode & 07777) : 0600);
    for (size_t done = 0; e == 0 && done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR) e = errno;
        if (n > 0) done += static_cast<size_t>(n);
    }
    if (e == 0) {
        // A modification time later than the old version's, whatever the clock's resolution.
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        int64_t ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
        if (existed) {
            int64_t old = signatureOf(st).mtimeNs;
            if (ns <= old) ns = old + 1;
        }
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = ns / 1000000000;
        times[0].tv_nsec = times[1].tv_nsec = ns % 1000000000;
        if (futimens(fd, times) != 0) e = errno;
    }
    if (e == 0 && fsync(fd) != 0) e = errno;
    if (close(fd) != 0 && e == 0) e = errno;
    if (e == 0 && rename(tmp.c_str(), target.c_str()) != 0) e = errno;
    if (e != 0) {
        unlink(tmp.c_str());
        return e;
    }
    int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);  // some file systems refuse; the rename has happened either way
        close(dfd);
    }
    struct stat now;
    if (stat(path.c_str(), &now) != 0) return errno;
    *sig = signatureOf(now);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The process-wide copy

struct Store {
    bool loaded = false;
    std::string path;  // the file the copy was read from
    bool exists = false;
    Signature sig;
    std::string bytes;
    Tree tree;
    int32_t refuseWrites = kErrorSuccess;  // set while the file can't be trusted
    std::map<std::string, Signature> reported;
};

// The copy lives from the first registry operation until releaseRegistryCache(); the mutex
// guards both the pointer and the copy. Both are constant-initialised and have no destructor to
// run, so registry operations stay usable from other static destructors until the process ends.
std::mutex g_storeMutex;
Store* g_store = nullptr;

// The copy, made when there is none. Only with g_storeMutex held.
Store& lockedStore() {
    if (!g_store) g_store = new Store;
    return *g_store;
}

void writeStderr(const std::string& text) {
    fputs(text.c_str(), stderr);
    fflush(stderr);
}

void reportOnce(Store& s, const Signature& version, const std::string& text) {
    auto it = s.reported.find(s.path);
    if (it != s.reported.end() && it->second == version) return;
    s.reported[s.path] = version;
    writeStderr(text);
}

void setEmpty(Store& s, const std::string& path) {
    s.loaded = true;
    s.path = path;
    s.exists = false;
    s.sig = {};
    s.bytes.clear();
    s.tree = Tree();
    s.refuseWrites = kErrorSuccess;
}

void setUnreadable(Store& s, const std::string& path, int e) {
    setEmpty(s, path);
    s.exists = true;
    s.loaded = false;  // try again next time
    s.refuseWrites = errorFromErrno(e);
    Signature marker;
    marker.mtimeNs = -e;
    reportOnce(s, marker,
               "vantrel: " + path + ": cannot read the registry file: " + strerror(e) +
                   "; changes to the registry are refused\n");
}

// Reads the file into the copy. With force the bytes are always read and compared; otherwise
// only when the file's identity changed.
void refresh(Store& s, const std::string& path, bool force) {
    bool same = s.loaded && s.path == path;
    if (!force) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                if (!same || s.exists) setEmpty(s, path);
                return;
            }
            setUnreadable(s, path, errno);
            return;
        }
        if (same && s.exists && signatureOf(st) == s.sig) return;
    }
    std::string bytes;
    Signature sig;
    int e = readWholeFile(path, &bytes, &sig);
    if (e == ENOENT || e == ENOTDIR) {
        if (!same || s.exists) setEmpty(s, path);
        return;
    }
    if (e != 0) {
        setUnreadable(s, path, e);
        return;
    }
    if (same && s.exists && bytes == s.bytes) {
        s.sig = sig;
        return;
    }
    Tree tree;
    std::vector<Problem> problems;
    parseFile(bytes, &tree, &problems);
    s.loaded = true;
    s.path = path;
    s.exists = true;
    s.sig = sig;
    s.bytes = std::move(bytes);
    s.tree = std::move(tree);
    s.refuseWrites = problems.empty() ? kErrorSuccess : kErrorRegistryCorrupt;
    if (!problems.empty()) {
        std::string text;
        constexpr size_t kShown = 20;
        for (size_t i = 0; i < problems.size() && i < kShown; ++i)
            text += "vantrel: " + path + ":" + std::to_string(problems[i].line) + ": " +
                    problems[i].what + "\n";
        if (problems.size() > kShown)
            text += "vantrel: " + path + ": " + std::to_string(problems.size() - kShown) +
                    " more problems not shown\n";
        text += "vantrel: " + path +
                ": the registry file is damaged; its readable values are used, but changes "
                "are refused until it is repaired\n";
        reportOnce(s, sig, text);
    }
}

// One registry operation: holds the process lock, and for a change also the file lock.
class Transaction {
  public:
    Transaction() : lock_(g_storeMutex), s_(lockedStore()), path_(registryPath()) {
        refresh(s_, path_, false);
    }
    ~Transaction() {
        if (lockFd_ >= 0) close(lockFd_);  // releases the flock
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    Tree& tree() { return s_.tree; }

    // Takes the file lock and brings the copy up to date; the tree may change.
    int32_t beginWrite() {
        int e = makeFolders(parentFolder(path_));
        if (e != 0) return errorFromErrno(e);
        lockFd_ = open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd_ < 0) return errorFromErrno(errno);
        while (flock(lockFd_, LOCK_EX) != 0)
            if (errno != EINTR) return errorFromErrno(errno);
        refresh(s_, path_, true);
        return s_.refuseWrites;
    }

    // Writes the changed tree; on failure the copy is dropped so the next operation reads the
    // file again.
    int32_t commit() {
        std::string bytes = serialize(s_.tree);
        Signature sig;
        int e = replaceFile(path_, bytes, &sig);
        if (e != 0) {
            s_.loaded = false;
            s_.bytes.clear();
            return errorFromErrno(e);
        }
        s_.exists = true;
        s_.sig = sig;
        s_.bytes = std::move(bytes);
        return kErrorSuccess;
    }

    // Runs f(tree, write, &needWrite) first without writing; when it says a change is needed,
    // takes the file lock and runs it again with write set, then commits. f must check before
    // it changes anything, so that a failure leaves the tree as it was.
    template <class F>
    int32_t change(F&& f) {
        bool need = false;
        int32_t r = f(tree(), false, &need);
        if (r != kErrorSuccess || !need) return r;
        r = beginWrite();
        if (r != kErrorSuccess) return r;
        need = false;
        r = f(tree(), true, &need);
        if (r != kErrorSuccess || !need) return r;
        return commit();
    }

  private:
    std::lock_guard<std::mutex> lock_;
    Store& s_;
    std::string path_;
    int lockFd_ = -1;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Handles

struct RegKey::Impl {
    int hive = 0;
    std::vector<std::u16string> path;
    bool writable = true;

    // The key now, or null when it is gone.
    Key* resolve(Tree& tree) const {
        Key* k = &tree.hives[hive];
        for (const auto& n : path)
            if (!(k = k->findSubKey(n))) return nullptr;
        return k;
    }
};

namespace {

Key* walk(Key* k, const std::vector<std::u16string>& parts, size_t count) {
    for (size_t i = 0; i < count && k; ++i) k = k->findSubKey(parts[i]);
    return k;
}

}  // namespace

RegKey::RegKey(RegKey&& o) noexcept : impl_(o.impl_) {
    o.impl_ = nullptr;
}

RegKey& RegKey::operator=(RegKey&& o) noexcept {
    if (this != &o) {
        delete impl_;
        impl_ = o.impl_;
        o.impl_ = nullptr;
    }
    return *this;
}

RegKey::~RegKey() {
    delete impl_;
}

RegKey RegKey::root(RegRoot root) {
    return RegKey(new Impl{hiveIndex(root), {}, true});
}

void RegKey::close() {
    delete impl_;
    impl_ = nullptr;
}

int32_t RegKey::open(const std::u16string& subKey, RegKey* out, bool writable) const {
    if (!impl_) return kErrorInvalidHandle;
    std::vector<std::u16string> parts;
    if (!out || !splitKeyPath(subKey, &parts)) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    auto impl = std::make_unique<Impl>(*impl_);
    impl->writable = writable;
    for (const auto& n : parts) {
        if (!(k = k->findSubKey(n))) return kErrorFileNotFound;
        impl->path.push_back(k->name);
    }
    *out = RegKey(impl.release());
    return kErrorSuccess;
}

int32_t RegKey::create(const std::u16string& subKey, RegKey* out, bool* created) const {
    if (!impl_) return kErrorInvalidHandle;
    std::vector<std::u16string> parts;
    if (!out || !splitKeyPath(subKey, &parts)) return kErrorInvalidParameter;
    bool made = false;
    auto impl = std::make_unique<Impl>(*impl_);
    impl->writable = true;
    Transaction t;
    int32_t r = t.change([&](Tree& tree, bool write, bool* need) {
        Key* k = impl_->resolve(tree);
        if (!k) return kErrorKeyDeleted;
        impl->path = impl_->path;
        for (const auto& n : parts) {
            Key* next = k->findSubKey(n);
            if (!next) {
                if (!impl_->writable) return kErrorAccessDenied;
                if (!write) {
                    *need = true;
                    return kErrorSuccess;
                }
                next = k->subKeyOrAdd(n, &made);
                *need = true;
            }
            k = next;
            impl->path.push_back(k->name);
        }
        return kErrorSuccess;
    });
    if (r != kErrorSuccess) return r;
    if (created) *created = made;
    *out = RegKey(impl.release());
    return kErrorSuccess;
}

int32_t RegKey::queryValue(const std::u16string& name, uint32_t* type, void* data,
                           uint32_t* size) const {
    if (!impl_) return kErrorInvalidHandle;
    if (data && !size) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    const Value* v = k->findValue(name);
    if (!v) return kErrorFileNotFound;
    if (type) *type = v->type;
    auto needed = static_cast<uint32_t>(v->data.size());
    if (!data) {
        if (size) *size = needed;
        return kErrorSuccess;
    }
    if (*size < needed) {
        *size = needed;
        return kErrorMoreData;
    }
    if (needed) memcpy(data, v->data.data(), needed);
    *size = needed;
    return kErrorSuccess;
}

int32_t RegKey::setValue(const std::u16string& name, uint32_t type, const void* data,
                         uint32_t size) {
    if (!impl_) return kErrorInvalidHandle;
    if ((!data && size) || !isStorableName(name)) return kErrorInvalidParameter;
    if (!impl_->writable) return kErrorAccessDenied;
    const auto* p = static_cast<const uint8_t*>(data);
    Transaction t;
    return t.change([&](Tree& tree, bool write, bool* need) {
        Key* k = impl_->resolve(tree);
        if (!k) return kErrorKeyDeleted;
        *need = true;
        if (write) k->setValue(name, type, std::vector<uint8_t>(p, p + size));
        return kErrorSuccess;
    });
}

int32_t RegKey::queryString(const std::u16string& name, std::u16string* value) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!value) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    const Value* v = k->findValue(name);
    if (!v) return kErrorFileNotFound;
    if (v->type != kRegSz && v->type != kRegExpandSz) return kErrorUnsupportedType;
    *value = fromUtf16leBytes(v->data.data(), v->data.size());
    size_t zero = value->find(u'\0');
    if (zero != value->npos) value->resize(zero);
    return kErrorSuccess;
}

int32_t RegKey::queryDword(const std::u16string& name, uint32_t* value) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!value) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    const Value* v = k->findValue(name);
    if (!v) return kErrorFileNotFound;
    if (v->type != kRegDword || !dwordOf(v->data, value)) return kErrorUnsupportedType;
    return kErrorSuccess;
}

int32_t RegKey::setString(const std::u16string& name, const std::u16string& value) {
    std::vector<uint8_t> bytes = utf16leBytes(value, true);
    return setValue(name, kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

int32_t RegKey::setDword(const std::u16string& name, uint32_t value) {
    std::vector<uint8_t> bytes = dwordBytes(value);
    return setValue(name, kRegDword, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

int32_t RegKey::deleteValue(const std::u16string& name) {
    if (!impl_) return kErrorInvalidHandle;
    if (!impl_->writable) return kErrorAccessDenied;
    Transaction t;
    return t.change([&](Tree& tree, bool write, bool* need) {
        Key* k = impl_->resolve(tree);
        if (!k) return kErrorKeyDeleted;
        Value* v = k->findValue(name);
        if (!v) return kErrorFileNotFound;
        *need = true;
        if (write) k->values.erase(k->values.begin() + (v - k->values.data()));
        return kErrorSuccess;
    });
}

int32_t RegKey::deleteKey(const std::u16string& subKey) {
    if (!impl_) return kErrorInvalidHandle;
    std::vector<std::u16string> parts;
    if (!splitKeyPath(subKey, &parts) || parts.empty()) return kErrorInvalidParameter;
    Transaction t;
    return t.change([&](Tree& tree, bool write, bool* need) {
        Key* base = impl_->resolve(tree);
        if (!base) return kErrorKeyDeleted;
        Key* parent = walk(base, parts, parts.size() - 1);
        if (!parent) return kErrorFileNotFound;
        size_t i = parent->subKeyIndex(parts.back());
        if (i == parent->subKeys.size()) return kErrorFileNotFound;
        if (!parent->subKeys[i]->subKeys.empty()) return kErrorAccessDenied;
        *need = true;
        if (write) parent->subKeys.erase(parent->subKeys.begin() + static_cast<ptrdiff_t>(i));
        return kErrorSuccess;
    });
}

int32_t RegKey::deleteTree(const std::u16string& subKey) {
    if (!impl_) return kErrorInvalidHandle;
    std::vector<std::u16string> parts;
    if (!splitKeyPath(subKey, &parts)) return kErrorInvalidParameter;
    if (!impl_->writable) return kErrorAccessDenied;
    Transaction t;
    return t.change([&](Tree& tree, bool write, bool* need) {
        Key* base = impl_->resolve(tree);
        if (!base) return kErrorKeyDeleted;
        if (parts.empty()) {  // empties this key, as RegDeleteTree with no subkey does
            *need = !base->values.empty() || !base->subKeys.empty();
            if (write) {
                base->values.clear();
                base->subKeys.clear();
            }
            return kErrorSuccess;
        }
        Key* parent = walk(base, parts, parts.size() - 1);
        if (!parent) return kErrorFileNotFound;
        size_t i = parent->subKeyIndex(parts.back());
        if (i == parent->subKeys.size()) return kErrorFileNotFound;
        *need = true;
        if (write) parent->subKeys.erase(parent->subKeys.begin() + static_cast<ptrdiff_t>(i));
        return kErrorSuccess;
    });
}

int32_t RegKey::enumSubKey(uint32_t index, std::u16string* name) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!name) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    if (index >= k->subKeys.size()) return kErrorNoMoreItems;
    *name = k->subKeys[index]->name;
    return kErrorSuccess;
}

int32_t RegKey::enumValue(uint32_t index, std::u16string* name) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!name) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    if (index >= k->values.size()) return kErrorNoMoreItems;
    *name = k->values[index].name;
    return kErrorSuccess;
}

std::u16string registryLocation() {
    return fromUtf8(registryPath());
}

void releaseRegistryCache() {
    std::lock_guard<std::mutex> lock(g_storeMutex);
    delete g_store;
    g_store = nullptr;
}

bool registryIsTextFile() {
    return true;
}

}  // namespace vt::plat
