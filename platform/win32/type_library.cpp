// Type-library registration through OLE Automation; see platform/type_library.h.
#include "platform/type_library.h"

#include <oleauto.h>

namespace vt::plat {

HRESULT registerTypeLibrary(const std::u16string& modulePath) {
    std::u16string path = modulePath;  // RegisterTypeLib takes a non-const path
    auto* wpath = reinterpret_cast<wchar_t*>(path.data());
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLibEx(wpath, REGKIND_NONE, &lib);
    if (FAILED(hr)) return hr;
    hr = RegisterTypeLib(lib, wpath, nullptr);
    lib->Release();
    return hr;
}

HRESULT unregisterTypeLibrary(const GUID& libid, uint16_t major, uint16_t minor, uint32_t lcid) {
    HRESULT hr = UnRegisterTypeLib(libid, major, minor, lcid, SYS_WIN64);
    if (hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED) return S_OK;
    return hr;
}

}  // namespace vt::plat
