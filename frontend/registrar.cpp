#include "frontend/registrar.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"

namespace vt {

namespace {

enum class KeyFlag { Plain, NoRemove, ForceRemove };

struct Value {
    std::u16string name;  // empty: the key's default value
    uint32_t type = plat::kRegSz;
    std::u16string text;
    uint32_t number = 0;
};

struct Key {
    KeyFlag flag = KeyFlag::Plain;
    std::u16string name;
    std::vector<Value> values;
    std::vector<Key> children;
};

struct Hive {
    plat::RegRoot root;
    std::vector<Key> keys;
};

class Parser {
  public:
    Parser(std::u16string_view text, const std::map<std::u16string, std::u16string>& repl)
        : s_(text), repl_(repl) {}

    std::vector<Hive> parse() {
        std::vector<Hive> hives;
        for (;;) {
            std::optional<std::u16string> word = token();
            if (!word) break;
            Hive h;
            if (*word == u"HKCR" || *word == u"HKEY_CLASSES_ROOT")
                h.root = plat::RegRoot::ClassesRoot;
            else if (*word == u"HKLM" || *word == u"HKEY_LOCAL_MACHINE")
                h.root = plat::RegRoot::LocalMachine;
            else if (*word == u"HKCU" || *word == u"HKEY_CURRENT_USER")
                h.root = plat::RegRoot::CurrentUser;
            else
                throw std::invalid_argument("unknown hive");
            expect(u"{");
            h.keys = keys();
            hives.push_back(std::move(h));
        }
        return hives;
    }

  private:
    // Keys and values up to the closing brace.
    std::vector<Key> keys(std::vector<Value>* values = nullptr) {
        std::vector<Key> out;
        for (;;) {
            std::optional<std::u16string> word = token();
            if (!word) throw std::invalid_argument("missing }");
            if (*word == u"}") return out;
            if (*word == u"val") {
                if (!values) throw std::invalid_argument("value outside a key");
                Value v;
                v.name = need();
                expect(u"=");
                valueData(v);
                values->push_back(std::move(v));
                continue;
            }
            Key k;
            if (*word == u"NoRemove")
                k.flag = KeyFlag::NoRemove, word = need();
            else if (*word == u"ForceRemove")
                k.flag = KeyFlag::ForceRemove, word = need();
            k.name = *word;
            if (peek() == u'=') {
                expect(u"=");
                Value v;
                valueData(v);
                k.values.push_back(std::move(v));
            }
            if (peek() == u'{') {
                expect(u"{");
                k.children = keys(&k.values);
            }
            out.push_back(std::move(k));
        }
    }

    void valueData(Value& v) {
        std::u16string kind = need();
        std::u16string data = need();
        if (kind == u"s") {
            v.type = plat::kRegSz;
            v.text = substitute(data);
        } else if (kind == u"d") {
            v.type = plat::kRegDword;
            v.number = static_cast<uint32_t>(std::stoul(toUtf8(data), nullptr, 0));
        } else {
            throw std::invalid_argument("unsupported value type");
        }
    }

    std::u16string substitute(const std::u16string& text) {
        std::u16string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == u'%') {
                size_t end = text.find(u'%', i + 1);
                if (end == i + 1) {  // %% is a percent sign
                    out += u'%';
                    i = end;
                    continue;
                }
                if (end != std::u16string::npos) {
                    auto it = repl_.find(text.substr(i + 1, end - i - 1));
                    if (it != repl_.end()) {
                        out += it->second;
                        i = end;
                        continue;
                    }
                }
            }
            out += text[i];
        }
        return out;
    }

    void skipSpace() {
        while (pos_ < s_.size() &&
               (s_[pos_] == u' ' || s_[pos_] == u'\t' || s_[pos_] == u'\r' || s_[pos_] == u'\n'))
            ++pos_;
    }
    char16_t peek() {
        skipSpace();
        return pos_ < s_.size() ? s_[pos_] : u'\0';
    }
    std::optional<std::u16string> token() {
        skipSpace();
        if (pos_ >= s_.size()) return std::nullopt;
        char16_t c = s_[pos_];
        if (c == u'{' && !(pos_ + 1 < s_.size() && isWordChar(s_[pos_ + 1]) && lookLikeGuid())) {
            ++pos_;
            return std::u16string(u"{");
        }
        if (c == u'}' || c == u'=') {
            ++pos_;
            return std::u16string(1, c);
        }
        if (c == u'\'') {
            std::u16string out;
            for (++pos_; pos_ < s_.size(); ++pos_) {
                if (s_[pos_] == u'\'') {
                    if (pos_ + 1 < s_.size() && s_[pos_ + 1] == u'\'') {  // '' is a quote
                        out += u'\'';
                        ++pos_;
                        continue;
                    }
                    ++pos_;
                    return out;
                }
                out += s_[pos_];
            }
            throw std::invalid_argument("unterminated string");
        }
        size_t start = pos_;
        while (pos_ < s_.size() && !isSpace(s_[pos_]) && s_[pos_] != u'=' &&
               !(s_[pos_] == u'{' && pos_ > start) && !(s_[pos_] == u'}' && s_[start] != u'{'))
            ++pos_;
        return std::u16string(s_.substr(start, pos_ - start));
    }
    // A '{' that starts a bare GUID name rather than a block.
    bool lookLikeGuid() {
        size_t close = s_.find(u'}', pos_);
        if (close == std::u16string::npos) return false;
        for (size_t i = pos_ + 1; i < close; ++i)
            if (!isWordChar(s_[i])) return false;
        return close - pos_ == 37;
    }
    static bool isSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
    static bool isWordChar(char16_t c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F') ||
               c == u'-';
    }
    std::u16string need() {
        std::optional<std::u16string> t = token();
        if (!t) throw std::invalid_argument("unexpected end of script");
        return *t;
    }
    void expect(const char16_t* what) {
        if (need() != what) throw std::invalid_argument("unexpected token");
    }

    std::u16string_view s_;
    size_t pos_ = 0;
    const std::map<std::u16string, std::u16string>& repl_;
};

int32_t setValue(plat::RegKey& key, const Value& v) {
    if (v.type == plat::kRegDword) return key.setDword(v.name, v.number);
    return key.setString(v.name, v.text);
}

bool install(plat::RegKey& parent, const Key& k) {
    if (k.flag == KeyFlag::ForceRemove) parent.deleteTree(k.name);  // a missing key is fine
    plat::RegKey key;
    if (parent.create(k.name, &key) != plat::kErrorSuccess) return false;
    for (const Value& v : k.values)
        if (setValue(key, v) != plat::kErrorSuccess) return false;
    for (const Key& child : k.children)
        if (!install(key, child)) return false;
    return true;
}

bool hasSubKeys(const plat::RegKey& parent, const std::u16string& name) {
    plat::RegKey key;
    std::u16string first;
    return parent.open(name, &key) == plat::kErrorSuccess &&
           key.enumSubKey(0, &first) == plat::kErrorSuccess;
}

// Removes what k names below parent; false when the registry refused a removal. A key that is
// missing already, or a plain key kept because keys the script doesn't name are still below it,
// is no refusal.
bool uninstall(plat::RegKey& parent, const Key& k) {
    plat::RegKey key;
    int32_t err = parent.open(k.name, &key, true);
    if (err == plat::kErrorFileNotFound) return true;
    if (err != plat::kErrorSuccess) return false;
    bool removed = true;
    for (const Key& child : k.children) removed = uninstall(key, child) && removed;
    key.close();
    switch (k.flag) {
        case KeyFlag::NoRemove:
            return removed;
        case KeyFlag::ForceRemove:
            err = parent.deleteTree(k.name);
            break;
        case KeyFlag::Plain:
            err = parent.deleteKey(k.name);  // refused while subkeys remain
            if (err != plat::kErrorSuccess && hasSubKeys(parent, k.name)) return removed;
            break;
    }
    return removed && (err == plat::kErrorSuccess || err == plat::kErrorFileNotFound);
}

}  // namespace

HRESULT runRegistrationScript(std::u16string_view script, bool installing,
                              const std::map<std::u16string, std::u16string>& replacements) {
    std::vector<Hive> hives;
    try {
        hives = Parser(script, replacements).parse();
    } catch (const std::exception&) {
        return E_INVALIDARG;
    }
    bool removed = true;
    for (const Hive& h : hives) {
        plat::RegKey root = plat::RegKey::root(h.root);
        for (const Key& k : h.keys) {
            if (installing) {
                if (!install(root, k)) return SELFREG_E_CLASS;
            } else {
                // Everything else is still removed when one removal is refused.
                removed = uninstall(root, k) && removed;
            }
        }
    }
    return removed ? S_OK : SELFREG_E_CLASS;
}

}  // namespace vt
