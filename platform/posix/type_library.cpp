// Linux has no type-library marshalling; see platform/type_library.h.
#include "platform/type_library.h"

namespace vt::plat {

HRESULT registerTypeLibrary(const std::u16string&) {
    return S_OK;
}

HRESULT unregisterTypeLibrary(const GUID&, uint16_t, uint16_t, uint32_t) {
    return S_OK;
}

}  // namespace vt::plat
