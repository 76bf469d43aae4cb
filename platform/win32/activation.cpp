// COM activation through the registry; see platform/activation.h.
#include "platform/activation.h"

namespace vt::plat {

HRESULT createServerObject(SharedLibrary&, const CLSID& clsid, const IID& riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
}

HRESULT classIdFromProgId(const std::u16string& progId, CLSID* clsid) {
    if (!clsid) return E_POINTER;
    return CLSIDFromProgID(toOleStr(progId), clsid);
}

}  // namespace vt::plat
