// `vantrel serve`, the SyncML server for real phones and SyncML client programs, and
// `vantrel device`, the devices it lets in.
//
// A device is a phone record (host/settings.h) whose store is the server's folder for the device,
// <host home>/devices/<IMEI key>, holding its secret and state (engines/syncml/device_state.h).
// The server keeps one component object per device for as long as it runs, bound to the device's
// DeviceEngine; a client's session makes the host call Synchronize on it.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "engines/syncml/device_engine.h"
#include "engines/syncml/device_state.h"
#include "engines/syncml/sync_server.h"
#include "host/command_support.h"
#include "host/command_table.h"
#include "host/commands.h"
#include "host/module_host.h"
#include "host/phone_link.h"
#include "host/session_notify.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/time.h"

namespace vt::host {

namespace {

constexpr char16_t kDevicesFolder[] = u"devices";
constexpr uint16_t kDefaultPort = 9876;
// The module's answer while the device's previous session has not ended.
constexpr HRESULT kHrBusy = static_cast<HRESULT>(0x800700AA);

std::u16string deviceFolder(const std::u16string& id) {
    return plat::joinPath(plat::joinPath(hostHome(), kDevicesFolder), imeiKey(id));
}

int64_t countNotes(const std::u16string& folder) {
    int64_t n = 0;
    for (const auto& e : plat::findFiles(plat::joinPath(folder, u"*.txt")))
        if (!e.isDirectory) ++n;
    return n;
}

std::string timeNow() {
    return toUtf8(plat::userLocaleDateTime(plat::currentTime()));
}

std::u16string outcomeWord(const syncml::SessionSummary& s) {
    switch (s.outcome) {
        case syncml::SessionSummary::Finished:
            return u"finished";
        case syncml::SessionSummary::Cancelled:
            return u"cancelled";
        case syncml::SessionSummary::Failed:
            return u"failed";
        default:
            return u"running";
    }
}

// The server's host: the devices from the phone records, one component object per device.
class ServeHost final : public syncml::ServerHost {
  public:
    explicit ServeHost(std::shared_ptr<ModuleHost> module) : module_(std::move(module)) {}
    ~ServeHost() override { releaseDevices(); }

    // Releases every component object (the module saves each device's mapping).
    void releaseDevices() {
        std::lock_guard<std::mutex> l(m_);
        devices_.clear();
    }

    bool findDevice(const std::string& id, syncml::DeviceAccount* out) override {
        PhoneRecord r;
        syncml::Secret secret;
        if (!loadPhoneRecord(fromUtf8(id), &r) || !isSyncMLDevice(r) ||
            !syncml::loadSecret(r.store, &secret))
            return false;
        out->id = id;
        out->alias = toUtf8(r.alias);
        out->secret = secret;
        out->folder = r.store;
        return true;
    }

    com_ptr<syncml::DeviceEngine> startModuleSession(const syncml::DeviceAccount& device,
                                                     std::string* error) override {
        std::lock_guard<std::mutex> l(m_);
        Device& d = devices_[device.id];
        if (!d.link) {
            d.engine = syncml::DeviceEngine::create();
            PhoneSetup setup;
            setup.imei = fromUtf8(device.id);
            setup.alias = fromUtf8(device.alias);
            setup.store = device.folder;
            std::u16string why;
            ConnectReport report;
            d.link = PhoneLink::connect(module_, setup, &why, &report, false,
                                        com_ptr<vantrel::ISyncEngine>(d.engine.get()));
            for (const auto& n : report.notes) say(toUtf8(n));
            if (!d.link) {
                *error = toUtf8(why);
                devices_.erase(device.id);
                return {};
            }
        }
        d.notify = SessionNotify::create(nullptr);
        unique_bstr path(d.link->notesFolder());
        UINT id = 0;
        const HRESULT hr = d.link->dataStore()->Synchronize(
            path.get(), static_cast<vantrel::IDataStoreNotify*>(d.notify.get()), &id);
        if (FAILED(hr)) {
            if (hr == kHrBusy)
                *error = "the device's previous session has not ended";
            else if (!isDirectory(d.link->notesFolder()))
                *error = toUtf8(format(
                    u"its notes folder %s is missing; if it was renamed or moved, put it back "
                    u"(nothing was deleted)",
                    d.link->notesFolder()));
            else
                *error = "the module refused the session (" + toUtf8(format(u"0x%08X", hr)) +
                         "); its log says more (`vantrel config logging LOG_TRACING`)";
            return {};
        }
        return d.engine;
    }

    void sessionEnded(const syncml::DeviceAccount& device,
                      const syncml::SessionSummary& s) override {
        std::u16string notesFolder;
        {
            std::lock_guard<std::mutex> l(m_);
            auto it = devices_.find(device.id);
            if (it != devices_.end() && it->second.link)
                notesFolder = it->second.link->notesFolder();
        }
        std::u16string line = format(
            u"%s: %s%s; client -> PC: %d added, %d replaced, %d deleted; PC -> client: %d "
            u"added, %d replaced, %d deleted",
            fromUtf8(device.alias), s.slow ? u"slow sync " : u"sync ", outcomeWord(s), s.clientAdds,
            s.clientReplaces, s.clientDeletes, s.serverAdds, s.serverReplaces, s.serverDeletes);
        if (s.conflicts) line += format(u"; %d conflicts (the PC's version won)", s.conflicts);
        if (s.refusedByPc) line += format(u"; %d refused by the PC", s.refusedByPc);
        if (s.refusedByClient) line += format(u"; %d refused by the client", s.refusedByClient);
        if (!s.reason.empty()) line += u" (" + fromUtf8(s.reason) + u")";
        say(toUtf8(line));
        const bool ok = s.outcome == syncml::SessionSummary::Finished;
        recordSession(fromUtf8(device.id), plat::userLocaleDateTime(plat::currentTime()),
                      u"serve " + outcomeWord(s),
                      ok && !notesFolder.empty() ? countNotes(notesFolder) : -1);
    }

    void report(const std::string& line) override { say(line); }

  private:
    struct Device {
        com_ptr<syncml::DeviceEngine> engine;
        std::unique_ptr<PhoneLink> link;
        com_ptr<SessionNotify> notify;
        // The link goes first: the module's object releases its engine.
        ~Device() {
            link.reset();
            notify.reset();
            engine.reset();
        }
    };

    void say(const std::string& line) {
        std::lock_guard<std::mutex> l(outM_);
        out(fromUtf8(timeNow() + " " + line));
    }

    std::shared_ptr<ModuleHost> module_;
    std::mutex m_;
    std::map<std::string, Device> devices_;
    std::mutex outM_;
};

bool parseListen(const std::u16string& text, std::string* address, uint16_t* port) {
    const std::string t = toUtf8(text);
    const size_t colon = t.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= t.size()) return false;
    *address = t.substr(0, colon);
    const std::string p = t.substr(colon + 1);
    if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    const int n = std::stoi(p);
    if (n > 65535) return false;
    *port = static_cast<uint16_t>(n);
    return true;
}

int deviceAdd(const CommandLine& cl) {
    if (cl.positional.size() != 2 || cl.phones.empty() || !cl.phones[0].alias ||
        cl.phones[0].imei || cl.phones[0].store || cl.phones[0].options) {
        err(u"usage: vantrel device add ID --alias NAME [--user USER] [--password-file FILE]");
        return kExitUsage;
    }
    if (!registryUsable()) return kExitFailed;
    PhoneSetup setup;
    setup.imei = cl.positional[1];
    setup.alias = *cl.phones[0].alias;
    setup.store = deviceFolder(setup.imei);
    std::u16string error;
    if (!validatePhoneSetup(setup, &error)) {
        err(error);
        return kExitUsage;
    }
    PhoneRecord known;
    if (loadPhoneRecord(setup.imei, &known) && !isSyncMLDevice(known)) {
        err(format(u"%s is a virtual phone's IMEI here (alias %s), not a SyncML device",
                   imeiKey(setup.imei), known.alias));
        return kExitFailed;
    }
    std::string password;
    if (cl.passwordFile) {
        std::ifstream in(toUtf8(*cl.passwordFile));
        if (!in || !std::getline(in, password)) {
            err(format(u"can't read a password from %s", *cl.passwordFile));
            return kExitFailed;
        }
        if (!password.empty() && password.back() == '\r') password.pop_back();
    } else {
        if (plat::stdoutIsTerminal()) out(format(u"password for device %s: ", setup.imei));
        if (!plat::readSecretLine(&password)) {
            err(u"no password given");
            return kExitFailed;
        }
    }
    if (password.empty()) {
        err(u"the password is empty; a device needs one");
        return kExitFailed;
    }
    if (!claimPhone(setup.imei, setup.alias, setup.store, &error)) {
        err(error);
        return kExitFailed;
    }
    const std::string user = toUtf8(cl.user.value_or(setup.alias));
    std::string why;
    if (!syncml::saveSecret(setup.store, syncml::makeSecret(user, password), &why)) {
        err(fromUtf8(why));
        return kExitFailed;
    }
    out(format(u"device %s may sync as phone '%s' (user %s); its notes: %s", setup.imei,
               setup.alias, fromUtf8(user), pcNotesFolder(setup.alias)));
    return kExitOk;
}

int deviceList() {
    int n = 0;
    for (const PhoneRecord& r : loadPhoneRecords()) {
        syncml::Secret s;
        if (!isSyncMLDevice(r) || !syncml::loadSecret(r.store, &s)) continue;
        ++n;
        out(format(
            u"%s  alias %s  user %s  last session: %s", r.imei, r.alias, fromUtf8(s.user),
            r.lastSync.empty() ? std::u16string(u"none") : r.lastSync + u" " + r.lastResult));
    }
    if (n == 0) out(u"no devices; add one with `vantrel device add ID --alias NAME`");
    return kExitOk;
}

int deviceRemove(const CommandLine& cl) {
    if (cl.positional.size() != 2 || !cl.phones.empty()) {
        err(u"usage: vantrel device remove ID");
        return kExitUsage;
    }
    PhoneRecord r;
    if (!loadPhoneRecord(cl.positional[1], &r) || !isSyncMLDevice(r)) {
        err(format(u"no device %s here", cl.positional[1]));
        return kExitFailed;
    }
    plat::removeFile(plat::joinPath(r.store, u"secret"));
    plat::removeFile(plat::joinPath(r.store, u"state"));
    plat::removeDirectory(r.store);
    if (int32_t e = removePhoneRecord(r.imei); e != 0) {
        err(registryErrorText(e));
        return kExitFailed;
    }
    out(format(u"device %s removed; its notes stay in %s", r.imei, pcNotesFolder(r.alias)));
    return kExitOk;
}

}  // namespace

int cmdDevice(const CommandLine& cl) {
    const std::u16string verb = cl.positional.empty() ? u"" : cl.positional[0];
    if (verb == u"add") return deviceAdd(cl);
    if (verb == u"list" && cl.positional.size() == 1 && cl.phones.empty()) return deviceList();
    if (verb == u"remove") return deviceRemove(cl);
    err(u"usage: vantrel device add ID --alias NAME | device list | device remove ID");
    return kExitUsage;
}

// The text of a PEM file (a certificate or a key), or a message and false.
static bool readPem(const std::u16string& file, std::string* pem) {
    std::ifstream in(toUtf8(file), std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    *pem = text.str();
    if (!in || pem->find("-----BEGIN ") == std::string::npos) {
        err(format(u"can't read a PEM certificate or key from %s", file));
        return false;
    }
    return true;
}

int cmdServe(const CommandLine& cl) {
    if (!cl.positional.empty()) {
        err(u"serve takes no arguments besides options");
        return kExitUsage;
    }
    syncml::ServerOptions options;
    options.port = kDefaultPort;
    if (cl.listen && !parseListen(*cl.listen, &options.address, &options.port)) {
        err(u"--listen needs ADDR:PORT, e.g. 127.0.0.1:9876 or 0.0.0.0:9876");
        return kExitUsage;
    }
    if (cl.tlsCert.has_value() != cl.tlsKey.has_value()) {
        err(u"HTTPS needs both --tls-cert FILE and --tls-key FILE");
        return kExitUsage;
    }
    if (cl.trace) options.traceDir = toUtf8(*cl.trace);
    if (cl.idleTimeout) {
        const std::string t = toUtf8(*cl.idleTimeout);
        char* end = nullptr;
        const long n = std::strtol(t.c_str(), &end, 10);
        if (t.empty() || *end != 0 || n <= 0 || n > 86400) {
            err(u"--idle-timeout needs a number of seconds (1 to 86400)");
            return kExitUsage;
        }
        options.idleTimeoutMs = static_cast<int>(n) * 1000;
    }
    if (cl.tlsCert &&
        (!readPem(*cl.tlsCert, &options.tlsCertPem) || !readPem(*cl.tlsKey, &options.tlsKeyPem)))
        return kExitFailed;
    if (!registryUsable()) return kExitFailed;
    plat::catchStopRequests();
    ComScope com;
    ScopedWorkFolder work;
    std::u16string error;
    std::shared_ptr<ModuleHost> module = ModuleHost::open(kDataStore, &error);
    if (!module) {
        err(error);
        return kExitFailed;
    }
    {
        ServeHost host(module);
        syncml::SyncServer server(host, options);
        std::string why;
        if (!server.start(&why)) {
            err(fromUtf8(why));
            return kExitFailed;
        }
        const std::string where = options.address + ":" + std::to_string(server.port());
        out(fromUtf8("serving SyncML on " + std::string(server.tls() ? "https://" : "http://") +
                     where + "/sync (Ctrl-C stops)"));
        if (!server.tls() && options.address.rfind("127.", 0) != 0) {
            // Said loudly, and again with every session line's reader in mind: on stderr.
            err(u"WARNING: listening beyond this machine without TLS.");
            err(u"WARNING: notes, user names and password hashes (with basic authentication the");
            err(u"WARNING: passwords themselves) travel in clear; anyone on the network can read");
            err(u"WARNING: them. Give --tls-cert FILE --tls-key FILE to serve HTTPS.");
        }
        while (!plat::waitForStopRequest(1000)) {
        }
        out(u"stopping: cancelling running sessions");
        server.stop();
        host.releaseDevices();
    }
    module.reset();
    out(u"stopped");
    return kExitOk;
}

}  // namespace vt::host
