// Loading an in-process plug-in module the way a desktop host does: find the plug-in registered
// for a data store under HKLM\SOFTWARE\Orvane\MorVex\SmlPlugins\<store>, follow its CLSID to
// HKCR\CLSID\{...}\InprocServer32, load that module, take its class object and create component
// objects from it. Also registration and unregistration through the module's own exports.
//
// A ModuleHost keeps the module loaded while it lives. Component objects come from
// plat::createServerObject (COM's CoCreateInstance on Windows, the module's class object on
// Linux), which holds the class object only while it creates, so DllCanUnloadNow tells whether
// objects live. On
// destruction it unloads the module only once DllCanUnloadNow answers S_OK (it waits a while
// for the module's notification threads to end); otherwise the module stays loaded, which is
// safe.
// Objects created from it must be released before it is destroyed (share it with
// std::shared_ptr). Thread-safe after construction.
#pragma once

#include <memory>
#include <string>

#include "platform/com.h"
#include "platform/com_raii.h"
#include "platform/system.h"
#include "vantrel/data_store.h"

namespace vt::host {

using plat::guidText;
using plat::parseGuid;

// Where the registry says the plug-in for a data store lives.
struct PluginLocation {
    std::u16string dataStore;
    CLSID clsid{};
    std::u16string clsidText;
    std::u16string mimeType;
    std::u16string modulePath;
};

// Reads the registration; false with a message meant for the user when something is missing.
bool findPlugin(const std::u16string& dataStore, PluginLocation* out, std::u16string* error);
// The same from a ProgID ("Vantrel.NotesSml") instead of the SmlPlugins entry, as COM resolves
// it; out->dataStore is the ProgID.
bool findProgId(const std::u16string& progId, PluginLocation* out, std::u16string* error);

class ModuleHost {
  public:
    // Loads the module at path and takes the class object for clsid. Null with *error set.
    static std::unique_ptr<ModuleHost> load(const std::u16string& path, const CLSID& clsid,
                                            std::u16string* error);
    // findPlugin (findProgId when progId is given), then load.
    static std::unique_ptr<ModuleHost> open(const std::u16string& dataStore, std::u16string* error,
                                            const std::u16string& progId = {});
    ~ModuleHost();
    ModuleHost(const ModuleHost&) = delete;
    ModuleHost& operator=(const ModuleHost&) = delete;

    const std::u16string& path() const { return path_; }
    // Creates a component object and answers its ISyncInitialize. On Windows the calling thread
    // must be in a single-threaded apartment.
    HRESULT createObject(com_ptr<vantrel::ISyncInitialize>* out);
    // Whether the module says it can be unloaded now (S_OK) or not (S_FALSE).
    HRESULT canUnloadNow();
    // How long the destructor waits for DllCanUnloadNow (10 s by default).
    void setUnloadWaitMs(int ms) { unloadWaitMs_ = ms; }
    // True once the destructor would unload the module: for tests.
    bool unloaded() const { return unloaded_; }

  private:
    ModuleHost() = default;
    using CanUnloadNowFn = HRESULT (*)();
    using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
    std::u16string path_;
    CLSID clsid_{};
    std::unique_ptr<plat::SharedLibrary> library_;
    CanUnloadNowFn canUnloadNow_ = nullptr;
    GetClassObjectFn getClassObject_ = nullptr;
    int unloadWaitMs_ = 10000;
    bool unloaded_ = false;
};

// Loads the module at path and calls DllRegisterServer. On failure *error says why (the module
// does not load, lacks the export, or the registrar failed with an HRESULT).
bool registerModule(const std::u16string& path, std::u16string* error);
// Loads the registered module for "Notes" (or, when path is not empty, the module at path) and
// calls DllUnregisterServer.
bool unregisterModule(const std::u16string& path, std::u16string* error);

}  // namespace vt::host
