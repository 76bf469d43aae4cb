// Linux has no COM activation: the caller's module is asked for its class object.
#include "platform/activation.h"

#include "platform/registry.h"

namespace vt::plat {

HRESULT createServerObject(SharedLibrary& module, const CLSID& clsid, const IID& riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(module.symbol("DllGetClassObject"));
    if (!getClassObject) return CLASS_E_CLASSNOTAVAILABLE;
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    if (!factory) return E_UNEXPECTED;
    hr = factory->CreateInstance(nullptr, riid, ppv);
    factory->Release();
    return hr;
}

HRESULT classIdFromProgId(const std::u16string& progId, CLSID* clsid) {
    if (!clsid) return E_POINTER;
    RegKey key;
    std::u16string text;
    if (progId.empty() ||
        RegKey::root(RegRoot::ClassesRoot).open(progId + u"\\CLSID", &key) != kErrorSuccess ||
        key.queryString(u"", &text) != kErrorSuccess || !parseGuid(text, clsid))
        return REGDB_E_CLASSNOTREG;
    return S_OK;
}

}  // namespace vt::plat
