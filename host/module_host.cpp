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

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool parseHex(std::u16string_view text, size_t digits, uint64_t* out) {
    if (text.size() < digits) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
        int d = hexDigit(text[i]);
        if (d < 0) return false;
        v = v * 16 + static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

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

std::u16string guidText(const GUID& g) {
    return format(u"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
}

bool parseGuid(std::u16string_view t, GUID* out) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (t.size() != 38 || t.front() != u'{' || t.back() != u'}' || t[9] != u'-' || t[14] != u'-' ||
        t[19] != u'-' || t[24] != u'-')
        return false;
    GUID g{};
    uint64_t v = 0;
    if (!parseHex(t.substr(1), 8, &v)) return false;
    g.Data1 = static_cast<uint32_t>(v);
    if (!parseHex(t.substr(10), 4, &v)) return false;
    g.Data2 = static_cast<uint16_t>(v);
    if (!parseHex(t.substr(15), 4, &v)) return false;
    g.Data3 = static_cast<uint16_t>(v);
    const size_t bytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!parseHex(t.substr(bytePos[i]), 2, &v)) return false;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    *out = g;
    return true;
}

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

    plat::RegKey server;
    const std::u16string serverKey = u"CLSID\\" + loc.clsidText + u"\\InprocServer32";
    if (plat::RegKey::root(plat::RegRoot::ClassesRoot).open(serverKey, &server) !=
            plat::kErrorSuccess ||
        server.queryString(u"", &loc.modulePath) != plat::kErrorSuccess || loc.modulePath.empty()) {
        *error = format(
            u"the plug-in for \"%s\" names the class %s, but HKCR\\%s does not say "
            u"where its module is; run `vantrel register` again",
            dataStore, loc.clsidText, serverKey);
        return false;
    }
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

std::unique_ptr<ModuleHost> ModuleHost::open(const std::u16string& dataStore,
                                             std::u16string* error) {
    PluginLocation loc;
    if (!findPlugin(dataStore, &loc, error)) return nullptr;
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
