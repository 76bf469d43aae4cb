// One phone connected to the module, as a desktop host holds it: the phone's SyncML engine (a
// virtual phone over a folder), one component object bound to the phone with
// ISyncInitialize::Initialize, and the sessions driven through IDataStore with the host's
// notification object. Several PhoneLinks may live in one process, one per IMEI (the module
// refuses a second object for the same phone).
//
// A session's progress goes to the Console; its outcome comes back as a SessionReport built
// from the module's final notification and the phone's own statistics.
//
// Not thread-safe: one thread drives a PhoneLink (sessions of different PhoneLinks may run at
// once: start them all, then finish them).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engines/virtual_phone/virtual_phone.h"
#include "host/host_lock.h"
#include "host/module_host.h"
#include "host/session_notify.h"
#include "platform/com_raii.h"
#include "util/language.h"
#include "vantrel/data_store.h"
#include "vantrel/sync_engine.h"

namespace vt::host {

// Which phone, and where its store is.
struct PhoneSetup {
    std::u16string imei;           // as handed to Initialize ("IMEI:..." prefixes are allowed)
    std::u16string alias;          // names the PC folder <Root>/<alias>
    std::u16string store;          // the virtual phone's folder (absolute)
    std::u16string engineOptions;  // the virtual phone's options text ("delay-ms=10,...")
};

// Checks what the module would refuse or misread: an empty IMEI key, an alias that isn't a
// plain folder name. False with a message.
bool validatePhoneSetup(const PhoneSetup& setup, std::u16string* error);

// The language files are the module's (util/language.h: languageFolder(), CLanguage).
// <languageFolder>/MorVex_<language>.qlr when that file exists; empty otherwise.
std::u16string languageFile(const std::u16string& language);
// The languages that have a file there, sorted ("de", "en").
std::vector<std::u16string> availableLanguages();
// The language whose file the module loads with "Current Language" set to language or, for an
// empty language, as the settings are now. Empty when there is none.
std::u16string languageInUse(const std::u16string& language);
// The notes folder's name (string 91 of that language's file, or of the file the settings
// choose now for an empty language); empty when there is no file.
std::u16string notesFolderNameFor(const std::u16string& language);
// The same for the language set now.
std::u16string notesFolderName();
// <Root>/<alias>[/<notes folder name>]; empty when Root is not set.
std::u16string pcNotesFolder(const std::u16string& alias);

// How a session ended, for the summary and the exit code.
struct SessionReport {
    std::u16string what;          // "sync", "export", "import"
    bool ok = false;              // the call succeeded and the session finished (state 4, 0)
    HRESULT callResult = S_OK;    // the IDataStore method's answer
    SessionEvent end;             // the module's final notification (state -1 when none came)
    bool timedOut = false;        // the host stopped waiting (and cancelled the session)
    engines::SessionStats stats;  // what the phone did
    long long durationMs = 0;
    std::u16string message;  // why it failed, for the user; empty when ok
};

// What connect tells besides the link.
struct ConnectReport {
    std::vector<std::u16string> notes;  // what it did for the user ("created the folder ...")
    bool busy = false;  // null because another process has the phone; the error says so
};

// "phone <alias> (<IMEI key>) is being synchronised by another process"
std::u16string busyPhoneText(const PhoneSetup& setup);
// True when another process has the module's record store of the phone open, as the module's
// object for the phone keeps it (docs/contracts.md). Creates nothing.
bool recordStoreHeldElsewhere(const std::u16string& imei);

class PhoneLink {
  public:
    // Takes the phone's lock (HostLock::takePhone) before anything else, prepares the PC folder
    // (creates <Root>/<alias> when Root exists; report->notes gets a line saying so), opens the
    // phone's store, creates a component object from module and binds it. Null with *error
    // set; report->busy when another process has the phone (its lock, or the module's record
    // store). A notes folder that vanished after sessions that left notes in it is refused
    // (the module would take that for "every note deleted") unless forReadOut: reading the
    // module's copy of the notes out is how they are got back.
    //
    // With engine, the phone's engine is that one (a SyncML server's device engine) instead of
    // a virtual phone over setup.store: phone() is then null, and the sessions are the engine's
    // business (drive dataStore() directly; startSync and the session reports need a virtual
    // phone).
    static std::unique_ptr<PhoneLink> connect(std::shared_ptr<ModuleHost> module,
                                              const PhoneSetup& setup, std::u16string* error,
                                              ConnectReport* report = nullptr,
                                              bool forReadOut = false,
                                              com_ptr<vantrel::ISyncEngine> engine = {});
    // Releases the component object (the module saves the phone's mapping), then the engine,
    // then the phone's lock. A session the host gave up on keeps all three (the process is
    // about to end).
    ~PhoneLink();
    PhoneLink(const PhoneLink&) = delete;
    PhoneLink& operator=(const PhoneLink&) = delete;

    const PhoneSetup& setup() const { return setup_; }
    const std::u16string& notesFolder() const { return notesFolder_; }
    engines::VirtualPhone* phone() const { return phone_.get(); }
    vantrel::IDataStore* dataStore() const { return dataStore_.get(); }

    // Starts a two-way session and returns (IDataStore::Synchronize). False with a report
    // already complete (the call failed) in lastReport().
    bool startSync();
    // Waits for the started session: the final notification and the phone's own end. The
    // session is cancelled when timeoutMs passes.
    SessionReport finishSession(int timeoutMs);
    // startSync + finishSession.
    SessionReport synchronize(int timeoutMs);
    // ExportDataFromPhone: one session, blocking.
    SessionReport exportFromPhone(int timeoutMs);
    // WriteDataIn for every item, then ImportDataToPhone. replace drops the PC's other notes
    // (bDBOverride); itemOverwrite gives the notes their item names (bItemOverride).
    struct ImportItem {
        std::u16string name;  // the item name (a file name in the notes folder)
        std::string bytes;    // not empty
    };
    SessionReport importToPhone(const std::vector<ImportItem>& items, bool replace,
                                bool itemOverwrite, int timeoutMs);
    // ReadAllDataOut into folder (absolute); the module's HRESULT.
    HRESULT readAllOut(const std::u16string& folder);

    const SessionReport& lastReport() const { return report_; }

  private:
    // Runs a blocking module call; Cancels the session when it runs past timeoutMs.
    HRESULT callWithWatchdog(int timeoutMs, bool* cancelled, const std::function<HRESULT()>& call);
    PhoneLink() = default;
    class Monitor;
    void beginSession(const std::u16string& what);
    SessionReport waitAndReport(HRESULT callResult, int timeoutMs);

    std::unique_ptr<HostLock> lock_;  // the phone's; given up last
    std::shared_ptr<ModuleHost> module_;
    PhoneSetup setup_;
    std::u16string notesFolder_;
    com_ptr<engines::VirtualPhone> phone_;
    com_ptr<vantrel::ISyncEngine> engine_;  // phone_'s, or the one connect was given
    com_ptr<vantrel::ISyncInitialize> init_;
    com_ptr<vantrel::IDataStore> dataStore_;
    com_ptr<SessionNotify> notify_;
    std::shared_ptr<Monitor> monitor_;
    UINT clientSyncId_ = 0;
    long long startedMs_ = 0;
    ULONG sessionsAtStart_ = 0;
    bool abandoned_ = false;
    SessionReport report_;
};

// The outcome in words: "finished", "failed (0x80004005)", "cancelled", ...
std::u16string outcomeText(const SessionReport& r);
// The summary lines of a session: changes on each side, conflicts, refusals.
std::vector<std::u16string> summaryLines(const std::u16string& label, const SessionReport& r);

}  // namespace vt::host
