// Linux has no COM activation: the caller's module is asked for its class object.
#include "platform/activation.h"

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

}  // namespace vt::plat
