#include "host/module_host.h"

#include <chrono>
#include <thread>

#include "platform/activation.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace vt::host {

namespace {

using ServerFn = HRESULT (*)();

constexpr char16_t kPluginsKey[] = u"SOFTWARE\\Orvane\\MorVex\\SmlPlugins";

std::u16string absolute(const std::u16string& path) {
    if (path.empty() || plat::isAbsolutePath(path)) return path;
    return plat::joinPath(plat::currentDirectory(), path);
}

// A module loaded only for one of its server exports.
bool callServerExport(const std::u16string& path, const char* exportName, std::u16string* error) {
    std::u16string why;
    std::unique_ptr<plat::SharedLibrary> lib = plat::SharedLibrary::load(path, &why);
    if (!lib) {
        *error = format(u"the module %s does not load: %s", path, why);
        return false;
    }
    auto fn = reinterpret_cast<ServerFn>(lib->symbol(exportName));
    if (!fn) {
        *error = format(u"%s is not a plug-in module: it does not export %s", path, exportName);
        return false;
    }
    HRESULT hr = fn();
    auto canUnload = reinterpret_cast<ServerFn>(lib->symbol("DllCanUnloadNow"));
    if (canUnload && canUnload() != S_OK) lib.release();  // keep it loaded: something still runs
    if (FAILED(hr)) {
        *error = format(u"%s of %s failed with 0x%08X (the registry is %s)", exportName, path, hr,
                        plat::registryLocation());
        return false;
    }
    return true;
}

}  // namespace

namespace {
// Fills loc->modulePath from HKCR\CLSID\{loc->clsidText}\InprocServer32.
bool findServer(PluginLocation* loc, std::u16string* error) {
    plat::RegKey server;
    const std::u16string serverKey = u"CLSID\\" + loc->clsidText + u"\\InprocServer32";
    if (plat::RegKey::root(plat::RegRoot::ClassesRoot).open(serverKey, &server) !=
            plat::kErrorSuccess ||
        server.queryString(u"", &loc->modulePath) != plat::kErrorSuccess ||
        loc->modulePath.empty()) {
        *error = format(
            u"the plug-in for \"%s\" names the class %s, but HKCR\\%s does not say "
            u"where its module is; run `vantrel register` again",
            loc->dataStore, loc->clsidText, serverKey);
        return false;
    }
    return true;
}
}  // namespace

bool findPlugin(const std::u16string& dataStore, PluginLocation* out, std::u16string* error) {
    const std::u16string notRegistered = format(
        u"no plug-in is registered for the data store \"%s\" in %s; run `vantrel "
        u"register` first",
        dataStore, plat::registryLocation());
    plat::RegKey plugin;
    const std::u16string pluginKey = std::u16string(kPluginsKey) + u"\\" + dataStore;
    if (plat::RegKey::root(plat::RegRoot::LocalMachine).open(pluginKey, &plugin) !=
        plat::kErrorSuccess) {
        *error = notRegistered;
        return false;
    }
    PluginLocation loc;
    loc.dataStore = dataStore;
    if (plugin.queryString(u"", &loc.clsidText) != plat::kErrorSuccess) {
        *error = notRegistered;
        return false;
    }
    if (!parseGuid(loc.clsidText, &loc.clsid)) {
        *error =
            format(u"HKLM\\%s names \"%s\", which is not a class id", pluginKey, loc.clsidText);
        return false;
    }
    plugin.queryString(u"MimeType", &loc.mimeType);

    if (!findServer(&loc, error)) return false;
    *out = std::move(loc);
    return true;
}

bool findProgId(const std::u16string& progId, PluginLocation* out, std::u16string* error) {
    PluginLocation loc;
    loc.dataStore = progId;
    HRESULT hr = plat::classIdFromProgId(progId, &loc.clsid);
    if (FAILED(hr)) {
        *error = format(
            u"no class is registered under the ProgID \"%s\" (0x%08X); run `vantrel "
            u"register` first",
            progId, hr);
        return false;
    }
    loc.clsidText = guidText(loc.clsid);
    if (!findServer(&loc, error)) return false;
    *out = std::move(loc);
    return true;
}

std::unique_ptr<ModuleHost> ModuleHost::load(const std::u16string& path, const CLSID& clsid,
                                             std::u16string* error) {
    const std::u16string full = absolute(path);
    plat::FileStatus st;
    if (!plat::getFileStatus(full, &st)) {
        *error = format(u"the module %s does not exist", full);
        return nullptr;
    }
    std::unique_ptr<ModuleHost> host(new ModuleHost());
    host->path_ = full;
    std::u16string why;
    host->library_ = plat::SharedLibrary::load(full, &why);
    if (!host->library_) {
        *error = format(u"the module %s does not load: %s", full, why);
        return nullptr;
    }
    host->getClassObject_ =
        reinterpret_cast<GetClassObjectFn>(host->library_->symbol("DllGetClassObject"));
    host->canUnloadNow_ =
        reinterpret_cast<CanUnloadNowFn>(host->library_->symbol("DllCanUnloadNow"));
    host->clsid_ = clsid;
    if (!host->getClassObject_ || !host->canUnloadNow_) {
        *error = format(
            u"%s is not a plug-in module: DllGetClassObject or DllCanUnloadNow is "
            u"missing",
            full);
        return nullptr;
    }
    com_ptr<IClassFactory> factory;
    HRESULT hr = host->getClassObject_(clsid, IID_IClassFactory, factory.put_void());
    if (FAILED(hr) || !factory) {
        *error =
            format(u"the module %s has no class object for %s (0x%08X)", full, guidText(clsid), hr);
        return nullptr;
    }
    return host;
}

std::unique_ptr<ModuleHost> ModuleHost::open(const std::u16string& dataStore, std::u16string* error,
                                             const std::u16string& progId) {
    PluginLocation loc;
    if (progId.empty() ? !findPlugin(dataStore, &loc, error) : !findProgId(progId, &loc, error))
        return nullptr;
    std::unique_ptr<ModuleHost> host = load(loc.modulePath, loc.clsid, error);
    if (!host)
        *error += format(
            u"\n(it is the module registered for \"%s\"; run `vantrel register "
            u"MODULE` with a module that loads)",
            dataStore);
    return host;
}

ModuleHost::~ModuleHost() {
    if (!library_) return;
    // Notification threads of the module may still be ending.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(unloadWaitMs_);
    while (canUnloadNow_ && canUnloadNow_() != S_OK) {
        if (std::chrono::steady_clock::now() >= deadline) {
            (void)library_.release();  // still in use: stay loaded rather than crash
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    library_.reset();
    unloaded_ = true;
}

HRESULT ModuleHost::createObject(com_ptr<vantrel::ISyncInitialize>* out) {
    return plat::createServerObject(*library_, clsid_, vantrel::IID_ISyncInitialize,
                                    out->put_void());
}

HRESULT ModuleHost::canUnloadNow() {
    return canUnloadNow_ ? canUnloadNow_() : S_OK;
}

bool registerModule(const std::u16string& path, std::u16string* error) {
    const std::u16string full = absolute(path);
    plat::FileStatus st;
    if (!plat::getFileStatus(full, &st) || st.isDirectory) {
        *error = format(u"the module %s does not exist", full);
        return false;
    }
    return callServerExport(full, "DllRegisterServer", error);
}

bool unregisterModule(const std::u16string& path, std::u16string* error) {
    std::u16string module = absolute(path);
    if (module.empty()) {
        PluginLocation loc;
        if (!findPlugin(u"Notes", &loc, error)) return false;
        module = loc.modulePath;
    }
    return callServerExport(module, "DllUnregisterServer", error);
}

}  // namespace vt::host
