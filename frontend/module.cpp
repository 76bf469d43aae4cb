// The module's entry points: load and unload hooks, the class object of NotesSml, the unload
// test and self-registration. Exported with C linkage; nothing else leaves the module.
#include <map>

#include "controller/notify_converter.h"
#include "frontend/controller_registry.h"
#include "frontend/notes_sml.h"
#include "frontend/registrar.h"
#include "frontend/registration_script.h"
#include "platform/com.h"
#include "platform/module_entry.h"
#include "platform/registry.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "platform/type_library.h"
#include "util/com_barrier.h"
#include "util/logger.h"
#include "util/module_lock.h"

namespace vt {

namespace {

// A static object rather than a heap one: it owns nothing and goes with the module's image.
CNotesSmlFactory g_classObject;

CNotesSmlFactory& classObject() {
    return g_classObject;
}

// The COM initialisation of the load hook, undone by the unload hook only when it took effect
// and on the same thread: a host thread that is already a single-threaded apartment refuses it
// (RPC_E_CHANGED_MODE), and an unbalanced CoUninitialize would end the host's own apartment.
bool g_comInitialized = false;
uint32_t g_comThread = 0;

HRESULT runScript(bool install) {
    std::map<std::u16string, std::u16string> replacements{{u"MODULE", plat::currentModulePath()}};
    return runRegistrationScript(kRegistrationScript, install, replacements);
}

}  // namespace

bool module_entry::onLoad() {
    g_comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    g_comThread = plat::currentThreadId();
    Logger::initialize(u"Vantrel.lgt", u"Software\\Orvane\\MorVex", u"Logging Levels", 5);
    return true;
}

// Frees what the module keeps for the process. A host that honoured DllCanUnloadNow leaves
// nothing in use; one that unloads anyway gets the objects still in use (and the registry cache
// and logger they may be using) left behind rather than freed under them. Waits for nothing
// and loads nothing: it runs under the loader's lock.
void module_entry::onUnload() {
    const bool idle = module_lock::count() == 0;
    const bool factoryFreed = idle && CFactory::release();
    const bool deliveriesFreed = CNotifyConverter::releaseDeliveries();
    if (factoryFreed && deliveriesFreed) {
        plat::releaseRegistryCache();
        Logger::shutdown();
    }
    if (g_comInitialized && g_comThread == plat::currentThreadId()) CoUninitialize();
    g_comInitialized = false;
}

}  // namespace vt

extern "C" {

HRESULT DllCanUnloadNow() {
    if (vt::module_lock::count() == 0 && vt::CNotifyConverter::pendingDeliveries() == 0)
        return S_OK;
    return S_FALSE;
}

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, vantrel::CLSID_NotesSml)) return CLASS_E_CLASSNOTAVAILABLE;
    return vt::classObject().QueryInterface(riid, ppv);
}

HRESULT DllRegisterServer() {
    return vt::comBarrier(E_OUTOFMEMORY, [] {
        HRESULT hr = vt::runScript(true);
        if (FAILED(hr)) return hr;
        return vt::plat::registerTypeLibrary(vt::plat::currentModulePath());
    });
}

HRESULT DllUnregisterServer() {
    return vt::comBarrier(E_OUTOFMEMORY, [] {
        HRESULT hr = vt::runScript(false);
        HRESULT typeLib = vt::plat::unregisterTypeLibrary(vantrel::LIBID_VANTRELLib, 1, 0, 0x409);
        if (SUCCEEDED(hr)) hr = typeLib;
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
                    .open(u"Software\\Orvane\\MorVex", &morvex, true) == vt::plat::kErrorSuccess) {
                const int32_t err = morvex.deleteKey(u"SmlPlugins");
                // Kept because a plug-in is still (or meanwhile) registered under it is fine;
                // refused by the registry is a failed unregistration.
                vt::plat::RegKey left;
                std::u16string first;
                const bool kept = morvex.open(u"SmlPlugins", &left) == vt::plat::kErrorSuccess &&
                                  left.enumSubKey(0, &first) == vt::plat::kErrorSuccess;
                if (err != vt::plat::kErrorSuccess && err != vt::plat::kErrorFileNotFound &&
                    !kept && SUCCEEDED(hr))
                    hr = SELFREG_E_CLASS;
            }
        }
        return hr;
    });
}

}  // extern "C"
