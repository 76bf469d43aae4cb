// The COM types of the platform, seen from shared code.
//
// On Linux they come from the project's own ABI header (libvantrelcom); on Windows from the
// system headers. Shared code uses the Windows names (HRESULT, BSTR, VARIANT, IUnknown, ...)
// and holds its own text as std::u16string; the helpers below cross between the two.
#pragma once

#include <vtcom/comtypes.h>

#include <string>
#include <string_view>

static_assert(sizeof(OLECHAR) == sizeof(char16_t), "OLECHAR must be a UTF-16 code unit");

namespace vt {

// A null string reads as empty.
inline std::u16string fromOleStr(const OLECHAR* s) {
    if (!s) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s));
}

inline std::u16string fromBstr(BSTR s) {
    if (!s) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s), SysStringLen(s));
}

// A UTF-16 literal or buffer seen as OLE text (char16_t and OLECHAR differ in type on Windows).
inline const OLECHAR* ole(const char16_t* s) {
    return reinterpret_cast<const OLECHAR*>(s);
}

// Valid as long as the string lives and is not changed.
inline const OLECHAR* toOleStr(const std::u16string& s) {
    return reinterpret_cast<const OLECHAR*>(s.c_str());
}

// Allocates a BSTR holding the text; the caller frees it (or hands it to unique_bstr).
inline BSTR allocBstr(std::u16string_view s) {
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.data()),
                             static_cast<UINT>(s.size()));
}

namespace plat {
// A GUID in registry form, "{1C7DB2E8-83AA-4288-81BE-5A46D1F10DDE}", and back; parseGuid
// answers false for anything else.
std::u16string guidText(const GUID& g);
bool parseGuid(std::u16string_view text, GUID* out);
}  // namespace plat

}  // namespace vt
