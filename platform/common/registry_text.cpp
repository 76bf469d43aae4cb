#include "platform/common/registry_text.h"

#include <cstdio>

#include "platform/text.h"

namespace vt::plat::reg {

namespace {

// ---------------------------------------------------------------------------------------------
// Hive names

// In the order of hiveIndex: the name the text is written with, and the short one it may be
// read with.
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
// Reading

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

// Reads decoded text line by line into a tree. One Parser per text.
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

// ---------------------------------------------------------------------------------------------
// Writing

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

}  // namespace

void parseText(std::string_view bytes, Tree* tree, std::vector<Problem>* problems) {
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

std::string toText(const Tree& tree) {
    std::string out = "Windows Registry Editor Version 5.00\n";
    for (int h = 0; h < kHiveCount; ++h) appendKey(&out, kHiveNames[h].name, tree.hives[h], true);
    return out;
}

}  // namespace vt::plat::reg
