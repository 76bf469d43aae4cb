#include "platform/common/registry_tree.h"

#include "platform/text.h"

namespace vt::plat::reg {

Key* Key::findSubKey(std::u16string_view n) const {
    for (const auto& k : subKeys)
        if (equalsIgnoreAsciiCase(k->name, n)) return k.get();
    return nullptr;
}

Value* Key::findValue(std::u16string_view n) {
    for (auto& v : values)
        if (equalsIgnoreAsciiCase(v.name, n)) return &v;
    return nullptr;
}

size_t Key::subKeyIndex(std::u16string_view n) const {
    for (size_t i = 0; i < subKeys.size(); ++i)
        if (equalsIgnoreAsciiCase(subKeys[i]->name, n)) return i;
    return subKeys.size();
}

Key* Key::subKeyOrAdd(std::u16string_view n, bool* added) {
    if (Key* k = findSubKey(n)) return k;
    subKeys.push_back(std::make_unique<Key>());
    subKeys.back()->name.assign(n);
    if (added) *added = true;
    return subKeys.back().get();
}

void Key::setValue(std::u16string_view n, uint32_t type, std::vector<uint8_t> data) {
    Value* v = findValue(n);
    if (!v) {
        values.emplace_back();
        v = &values.back();
        v->name.assign(n);
    }
    v->type = type;
    v->data = std::move(data);
}

bool operator==(const Key& a, const Key& b) {
    if (a.name != b.name || a.values != b.values || a.subKeys.size() != b.subKeys.size())
        return false;
    for (size_t i = 0; i < a.subKeys.size(); ++i)
        if (!(*a.subKeys[i] == *b.subKeys[i])) return false;
    return true;
}

int hiveIndex(RegRoot root) {
    switch (root) {
        case RegRoot::LocalMachine:
            return 0;
        case RegRoot::CurrentUser:
            return 1;
        case RegRoot::ClassesRoot:
            return 2;
    }
    return 0;
}

bool isStorableName(std::u16string_view name) {
    for (char16_t c : name)
        if (c == u'\0' || c == u'\r' || c == u'\n') return false;
    return isWellFormedUtf16(name);
}

bool splitKeyPath(std::u16string_view path, std::vector<std::u16string>* names) {
    names->clear();
    if (path.empty()) return true;
    if (path.back() == u'\\') path.remove_suffix(1);
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string_view name = path.substr(start, end == path.npos ? path.npos : end - start);
        if (name.empty() || !isStorableName(name)) return false;
        names->emplace_back(name);
        if (end == path.npos) return true;
        start = end + 1;
    }
}

std::vector<uint8_t> dwordBytes(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

bool dwordOf(const std::vector<uint8_t>& data, uint32_t* v) {
    if (data.size() != 4) return false;
    *v = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
    return true;
}

std::vector<uint8_t> utf16leBytes(std::u16string_view s, bool terminate) {
    std::vector<uint8_t> out;
    out.reserve((s.size() + 1) * 2);
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminate) out.insert(out.end(), {0, 0});
    return out;
}

std::u16string fromUtf16leBytes(const uint8_t* p, size_t n) {
    std::u16string s;
    s.reserve(n / 2);
    for (size_t i = 0; i + 1 < n; i += 2)
        s.push_back(static_cast<char16_t>(p[i] | (p[i + 1] << 8)));
    return s;
}

bool isWellFormedUtf16(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

}  // namespace vt::plat::reg
