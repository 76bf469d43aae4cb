// Fuzzes the property text block reader. The input is a block of UTF-16LE code units. Checks:
// reading never fails; what a set writes reads back to the same set; the reader's unescaping
// equals a literal implementation of the unescaping rules; escaping is undone by unescaping
// for every text the block can carry; typed getters only ever throw their message texts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage/property_set.h"
#include "util/string_split.h"
#include "util/text_error.h"

namespace {

// The unescaping rules, piece by piece, as the property file format states them.
std::u16string referenceUnescape(const std::u16string& text) {
    if (text.find(u'\\') == std::u16string::npos) return text;
    vt::CStringSplit pieces(text, u'\\');
    std::u16string out = pieces.getAt(0);
    bool mark = false;
    for (int i = 1; i < pieces.getCount(); ++i) {
        const std::u16string piece = pieces.getAt(i);
        if (piece.empty()) {
            out += u'\\';
            mark = true;
        } else if (mark) {
            out += piece;
            mark = false;
        } else if (piece[0] == u'n') {
            out += u'\n';
            out += piece.substr(1);
        } else {
            out += piece;
        }
    }
    return out;
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vt::CPropertySet set(data, size);

    // Write and read back.
    const std::u16string written = set.toText();
    vt::CPropertySet back(written.data(), written.size() * 2);
    const std::vector<std::u16string> keys = set.getKeys();
    check(back.getKeys() == keys);
    for (const auto& key : keys) {
        std::u16string a, b;
        set.get(key)->getStringValue(a);
        back.get(key)->getStringValue(b);
        check(a == b && !a.empty());
        vt::CPropertyValue copy(*set.get(key));
        try {
            int32_t n = 0;
            copy.getLongValue(n);
        } catch (const vt::TextError& e) {
            check(e.text().rfind(u"CPropertyValue::getLongValue", 0) == 0);
        }
        try {
            vt::CTime t;
            copy.getCTimeValue(t);
        } catch (const vt::TextError& e) {
            check(e.text().rfind(u"CPropertyValue::getCTimeValue", 0) == 0);
        }
    }

    // The same code units as one text.
    std::u16string text(size / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);
    check(vt::CPropertySet::unescape(text) == referenceUnescape(text));
    std::u16string escaped;
    vt::CPropertySet::appendEscaped(escaped, text);
    check(escaped.find(u'\n') == std::u16string::npos);
    check(escaped.find(u'\0') == std::u16string::npos);
    check(escaped.find(u":=") == std::u16string::npos);
    const bool carried =
        text.find(u'\0') == std::u16string::npos && text.find(u"\\\n") == std::u16string::npos;
    if (carried) check(vt::CPropertySet::unescape(escaped) == text);
    return 0;
}
