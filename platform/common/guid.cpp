// GUIDs as registry text; see platform/com.h.
#include <cstdint>

#include "platform/com.h"
#include "platform/format.h"

namespace vt::plat {

namespace {

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool parseHex(std::u16string_view text, size_t digits, uint64_t* out) {
    if (text.size() < digits) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
        int d = hexDigit(text[i]);
        if (d < 0) return false;
        v = v * 16 + static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

}  // namespace

std::u16string guidText(const GUID& g) {
    return format(u"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
}

bool parseGuid(std::u16string_view t, GUID* out) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (t.size() != 38 || t.front() != u'{' || t.back() != u'}' || t[9] != u'-' || t[14] != u'-' ||
        t[19] != u'-' || t[24] != u'-')
        return false;
    GUID g{};
    uint64_t v = 0;
    if (!parseHex(t.substr(1), 8, &v)) return false;
    g.Data1 = static_cast<uint32_t>(v);
    if (!parseHex(t.substr(10), 4, &v)) return false;
    g.Data2 = static_cast<uint16_t>(v);
    if (!parseHex(t.substr(15), 4, &v)) return false;
    g.Data3 = static_cast<uint16_t>(v);
    const size_t bytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!parseHex(t.substr(bytePos[i]), 2, &v)) return false;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    *out = g;
    return true;
}

}  // namespace vt::plat
