// The plain-file-name check; the same rules on every platform, so that a notes folder that
// moves between Linux and Windows names the same notes.
#include <array>

#include "platform/path.h"
#include "platform/text.h"

namespace vt::plat {

namespace {

bool isAsciiLetterCaseless(char16_t a, char16_t b) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
    return lower(a) == lower(b);
}

bool equalsCaseless(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!isAsciiLetterCaseless(a[i], b[i])) return false;
    return true;
}

// Windows opens a device for these, whatever extension follows.
bool isDeviceName(std::u16string_view base) {
    static constexpr std::array<std::u16string_view, 6> kNames = {u"CON", u"PRN",    u"AUX",
                                                                  u"NUL", u"CONIN$", u"CONOUT$"};
    for (auto n : kNames)
        if (equalsCaseless(base, n)) return true;
    if (base.size() == 4) {
        const char16_t d = base[3];
        const bool digit =
            (d >= u'1' && d <= u'9') || d == u'\u00B9' || d == u'\u00B2' || d == u'\u00B3';
        return digit && (equalsCaseless(base.substr(0, 3), u"COM") ||
                         equalsCaseless(base.substr(0, 3), u"LPT"));
    }
    return false;
}

}  // namespace

bool isFileNameChar(char16_t c) {
    if (c < 0x20 || c == 0x7F) return false;
    switch (c) {
        case u'/':
        case u'\\':
        case u':':
        case u'*':
        case u'?':
        case u'"':
        case u'<':
        case u'>':
        case u'|':
            return false;
        default:
            return true;
    }
}

bool isPlainFileName(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..") return false;
    for (char16_t c : name)
        if (!isFileNameChar(c)) return false;
    if (name.back() == u'.' || name.back() == u' ') return false;
    std::u16string_view base = name.substr(0, name.find(u'.'));
    while (!base.empty() && (base.back() == u' ' || base.back() == u'.')) base.remove_suffix(1);
    return !isDeviceName(base);
}

}  // namespace vt::plat
