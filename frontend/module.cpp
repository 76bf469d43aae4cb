// The module's entry points: load and unload hooks, the class object of NotesSml, the unload
// test and self-registration. Exported with C linkage; nothing else leaves the module.
#include <map>

#include "frontend/module_lock.h"
#include "frontend/notes_sml.h"
#include "frontend/notify_converter.h"
#include "frontend/registrar.h"
#include "frontend/registration_script.h"
#include "platform/com.h"
#include "platform/module_entry.h"
#include "platform/registry.h"
#include "platform/special_folders.h"
#include "util/logger.h"

namespace vt {

namespace {

CNotesSmlFactory& classObject() {
    static CNotesSmlFactory* factory = new CNotesSmlFactory();
    return *factory;
}

HRESULT runScript(bool install) {
    std::map<std::u16string, std::u16string> replacements{{u"MODULE", plat::currentModulePath()}};
    return runRegistrationScript(kRegistrationScript, install, replacements);
}

}  // namespace

bool module_entry::onLoad() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Logger::initialize(u"Vantrel.lgt", u"Software\\Orvane\\MorVex", u"Logging Levels", 5);
    return true;
}

void module_entry::onUnload() {
    Logger::shutdown();
    CoUninitialize();
}

}  // namespace vt

extern "C" {

HRESULT DllCanUnloadNow() {
    if (vt::module_lock::count() == 0 && vt::CNotifyConverter::pendingDeliveries() == 0) return S_OK;
    return S_FALSE;
}

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, vantrel::CLSID_NotesSml)) return CLASS_E_CLASSNOTAVAILABLE;
    return vt::classObject().QueryInterface(riid, ppv);
}

HRESULT DllRegisterServer() { return vt::runScript(true); }

HRESULT DllUnregisterServer() {
    HRESULT hr = vt::runScript(false);
    // The plug-in family key goes when no other plug-in is registered under it.
    vt::plat::RegKey plugins;
    if (vt::plat::RegKey::root(vt::plat::RegRoot::LocalMachine)
            .open(u"Software\\Orvane\\MorVex\\SmlPlugins", &plugins) != vt::plat::kErrorSuccess)
        return hr;
    bool foreign = false;
    std::u16string name;
    for (uint32_t i = 0; plugins.enumSubKey(i, &name) == vt::plat::kErrorSuccess; ++i) {
        if (name != u"Notes") {
            foreign = true;
            break;
        }
    }
    plugins.close();
    if (!foreign) {
        vt::plat::RegKey morvex;
        if (vt::plat::RegKey::root(vt::plat::RegRoot::LocalMachine)
                .open(u"Software\\Orvane\\MorVex", &morvex, true) == vt::plat::kErrorSuccess)
            morvex.deleteKey(u"SmlPlugins");
    }
    return hr;
}

}  // extern "C"
