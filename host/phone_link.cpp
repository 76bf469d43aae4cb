#include "host/phone_link.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "host/console.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/format.h"
#include "platform/language.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "platform/text.h"
#include "util/language.h"

namespace vt::host {

namespace {

constexpr char16_t kBusyAdvice[] = u"; nothing was changed, try again when it has finished";
// After the phone's session has ended, a cancellation notice may still be on its way.
constexpr int kLateNoticeMs = 1000;
// How long the host waits after cancelling a session that ran out of time.
constexpr int kCancelGraceMs = 15000;

bool isDirectory(const std::u16string& path) {
    plat::FileStatus st;
    return plat::getFileStatus(path, &st) && st.isDirectory;
}

// Creates and removes a file in folder; 0 or the OS error.
int probeWritable(const std::u16string& folder) {
    const std::u16string probe =
        plat::joinPath(folder, format(u".vantrel-probe-%u", plat::currentProcessId()));
    plat::File f;
    plat::FileException e(plat::kCauseNone, 0, u"");
    if (!f.tryOpen(probe, plat::Access::Write, plat::Disposition::CreateAlways,
                   plat::Share::DenyNone, &e))
        return e.osError() ? e.osError() : -1;
    try {
        f.close();
    } catch (const plat::FileException&) {
    }
    plat::removeFile(probe);
    return 0;
}

std::u16string hresultText(HRESULT hr) {
    return format(u"0x%08X", hr);
}

// The module's data folder of a phone, and its record store there.
std::u16string moduleDataFolder(const std::u16string& imei) {
    std::u16string appData;
    plat::appDataFolder(false, &appData);
    return plat::joinPath(plat::joinPath(appData, u"Morvex"), imeiKey(imei));
}
std::u16string recordStorePath(const std::u16string& imei) {
    return plat::joinPath(plat::joinPath(moduleDataFolder(imei), u"NotesDB"), u"notesDB.dta");
}

// What to tell when the notes folder of a phone that has had sessions is missing.
std::u16string missingNotesFolderText(const PhoneSetup& setup, const std::u16string& folder) {
    PhoneRecord record;
    const bool known = loadPhoneRecord(setup.imei, &record);
    std::u16string before =
        known && record.notes > 0
            ? format(u"%d notes were synchronised with phone '%s' before", record.notes,
                     setup.alias)
            : format(u"the module holds notes synchronised with phone '%s' before", setup.alias);
    if (known && !record.lastSync.empty()) before += u" (last session " + record.lastSync + u")";
    std::u16string language;
    if (readSetting(settings()[2], &language) != plat::kErrorSuccess) language = u"not set";
    return format(
        u"the notes folder %s is missing, but %s; nothing was deleted.\n"
        u"If you renamed or moved it, move it back, or set Root or the language back (now Root "
        u"is %s and the language %s, whose notes folder is \"%s\"). `vantrel read-out DIR` "
        u"copies the notes as last exchanged with the phone into DIR. To start afresh on "
        u"purpose, create the folder empty: the next sync then deletes those notes on the "
        u"phone too.",
        folder, before, rootFolder(), language, notesFolderName());
}

}  // namespace

// The module opens the record store for writing and denies writers, so an open of the same
// kind fails with a sharing violation while it has it.
bool recordStoreHeldElsewhere(const std::u16string& imei) {
    plat::File f;
    plat::FileException e(plat::kCauseNone, 0, u"");
    if (f.tryOpen(recordStorePath(imei), plat::Access::ReadWrite, plat::Disposition::OpenExisting,
                  plat::Share::DenyWrite, &e)) {
        try {
            f.close();
        } catch (const plat::FileException&) {
        }
        return false;
    }
    return plat::isSharingViolation(e.osError());
}

std::u16string busyPhoneText(const PhoneSetup& setup) {
    return format(u"phone %s (%s) is being synchronised by another process", setup.alias,
                  imeiKey(setup.imei));
}

// Shows a session's progress while it runs, and cancels it when it runs out of time.
class PhoneLink::Monitor {
  public:
    Monitor(std::u16string label, engines::VirtualPhone* phone, com_ptr<SessionNotify> notify)
        : label_(std::move(label)), phone_(phone), notify_(std::move(notify)) {}

    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void wake() {
        {
            std::lock_guard<std::mutex> l(m_);
            woken_ = true;
        }
        cv_.notify_all();
    }
    void stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> l(m_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
        Console::instance().endProgress(label_);
    }
    ~Monitor() {
        if (thread_.joinable()) stop();
    }

    ProgressView view() const {
        ProgressView v;
        const engines::SessionStats s = phone_->lastSession();
        const SessionEvent e = notify_->latest();
        const long phoneSent = s.sentAdds + s.sentReplaces + s.sentDeletes;
        const long pcApplied =
            s.appliedAdds + s.appliedReplaces + s.appliedDeletes + s.refusedByPhone + s.notFound;
        v.done = phoneSent + pcApplied;
        // The phone counts its changes and the PC's commands before it sends the first one;
        // before that, the PC's commands still queued are what is known.
        const long announced = std::max<long>(s.total, e.progress2);
        v.total = announced > 0 ? std::max<long>(announced, v.done)
                                : v.done + static_cast<long>(phone_->queuedCommands().size());
        v.packages = notify_->packages();
        if (notify_->ended()) {
            const SessionEvent end = notify_->endEvent();
            v.phase = end.state == vantrel::kSyncStateCanceled ? u"cancelled"
                      : end.result == 0                        ? u"finished"
                                                               : u"failed";
        } else if (e.state < 0) {
            v.phase = u"starting";
        } else if (e.state == vantrel::kSyncStateStarted) {
            v.phase = u"started";
        } else {
            v.phase = u"exchanging";
        }
        return v;
    }

  private:
    void run() {
        std::unique_lock<std::mutex> l(m_);
        while (!stop_) {
            l.unlock();
            Console::instance().progress(label_, view());
            l.lock();
            cv_.wait_for(l, std::chrono::milliseconds(100), [this] { return stop_ || woken_; });
            woken_ = false;
        }
    }

    std::u16string label_;
    engines::VirtualPhone* phone_;
    com_ptr<SessionNotify> notify_;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool woken_ = false;
};

bool validatePhoneSetup(const PhoneSetup& setup, std::u16string* error) {
    const std::u16string key = imeiKey(setup.imei);
    if (key.empty()) {
        *error = format(u"the IMEI \"%s\" is empty after its last ':'", setup.imei);
        return false;
    }
    // The module names folders after both, and refuses what can't name one everywhere.
    if (!plat::isPlainFileName(key)) {
        *error = format(
            u"the IMEI \"%s\" can't name a folder (no '/', '\\', ':', '*', '?', '\"', '<', "
            u"'>', '|', no trailing dot or blank, no device name such as CON)",
            setup.imei);
        return false;
    }
    if (!plat::isPlainFileName(setup.alias)) {
        *error = format(
            u"the alias \"%s\" must be a plain folder name (no '/', '\\', ':', '*', '?', "
            u"'\"', '<', '>', '|', no trailing dot or blank, no device name such as CON)",
            setup.alias);
        return false;
    }
    if (setup.store.empty() || !plat::isAbsolutePath(setup.store)) {
        *error = format(u"the phone store \"%s\" must be an absolute folder path", setup.store);
        return false;
    }
    return true;
}

std::u16string languageFile(const std::u16string& language) {
    if (!plat::isPlainFileName(u"MorVex_" + language + u".qlr")) return {};
    const std::u16string path = languageFilePath(language);
    plat::FileStatus st;
    return plat::getFileStatus(path, &st) && !st.isDirectory ? path : std::u16string();
}

namespace {
// "de" for <languageFolder>/MorVex_de.qlr.
std::u16string languageOfFile(const std::u16string& fileName) {
    constexpr size_t kPrefix = 7, kSuffix = 4;  // "MorVex_", ".qlr"
    return fileName.size() > kPrefix + kSuffix
               ? fileName.substr(kPrefix, fileName.size() - kPrefix - kSuffix)
               : std::u16string();
}
}  // namespace

std::vector<std::u16string> availableLanguages() {
    std::vector<std::u16string> languages;
    for (const auto& f : plat::findFiles(plat::joinPath(languageFolder(), u"MorVex_*.qlr")))
        if (!f.isDirectory) languages.push_back(languageOfFile(f.name));
    std::sort(languages.begin(), languages.end());
    return languages;
}

std::u16string languageInUse(const std::u16string& language) {
    if (!language.empty()) return language;
    // The module's own choice, so that the two never disagree.
    return languageOfFile(plat::fileNameOf(CLanguage::chooseFile(true)));
}

std::u16string notesFolderNameFor(const std::u16string& language) {
    const std::u16string lang = languageInUse(language);
    return lang.empty() ? std::u16string() : CLanguage(lang).getString(CLanguage::kNotesFolderName);
}

std::u16string notesFolderName() {
    return CLanguage().getString(CLanguage::kNotesFolderName);
}

std::u16string pcNotesFolder(const std::u16string& alias) {
    const std::u16string root = rootFolder();
    if (root.empty()) return {};
    std::u16string folder = plat::joinPath(root, alias);
    const std::u16string name = notesFolderName();
    return name.empty() ? folder : plat::joinPath(folder, name);
}

std::unique_ptr<PhoneLink> PhoneLink::connect(std::shared_ptr<ModuleHost> module,
                                              const PhoneSetup& setup, std::u16string* error,
                                              ConnectReport* report, bool forReadOut,
                                              com_ptr<vantrel::ISyncEngine> engine) {
    ConnectReport unused;
    if (!report) report = &unused;
    if (!validatePhoneSetup(setup, error)) return nullptr;

    // One process per phone, before the phone's store is opened or anything is created: two
    // would send each other's changes twice and take each other's notes for deleted.
    HostLock::Taken taken = HostLock::takePhone(setup.imei);
    if (!taken.lock) {
        report->busy = taken.busy;
        *error = taken.busy ? busyPhoneText(setup) + kBusyAdvice : taken.error;
        return nullptr;
    }
    std::unique_ptr<PhoneLink> link(new PhoneLink());
    link->lock_ = std::move(taken.lock);

    // The PC side: <Root>/<alias> must exist for the module; the host makes it when Root does.
    const std::u16string root = rootFolder();
    if (root.empty()) {
        *error =
            u"the PC folder for phones (\"Root\") is not set; run `vantrel config Root "
            u"DIR`, where DIR will hold one folder per phone";
        return nullptr;
    }
    if (!isDirectory(root)) {
        *error = format(
            u"the PC folder for phones %s (\"Root\") does not exist; create it or "
            u"run `vantrel config Root DIR`",
            root);
        return nullptr;
    }
    link->notesFolder_ = pcNotesFolder(setup.alias);
    plat::FileStatus notesStatus;
    const bool notesFolderThere = plat::getFileStatus(link->notesFolder_, &notesStatus);
    if (notesFolderThere && !notesStatus.isDirectory) {
        *error = format(u"the notes folder %s is a file, not a folder", link->notesFolder_);
        return nullptr;
    }
    // A notes folder that vanished after sessions that left notes in it was renamed, moved or
    // deleted: the module would take it for "every note deleted" and tell the phone so.
    PhoneRecord record;
    if (!notesFolderThere && !forReadOut && loadPhoneRecord(setup.imei, &record) &&
        record.notes > 0) {
        *error = missingNotesFolderText(setup, link->notesFolder_);
        return nullptr;
    }
    const std::u16string phoneFolder = plat::joinPath(root, setup.alias);
    if (!isDirectory(phoneFolder)) {
        if (int err = plat::createDirectory(phoneFolder); err != 0) {
            *error = format(u"can't create the folder %s for phone '%s': %s", phoneFolder,
                            setup.alias, plat::osErrorText(err));
            return nullptr;
        }
        report->notes.push_back(
            format(u"created the folder %s for phone '%s'", phoneFolder, setup.alias));
    }
    const std::u16string writable =
        isDirectory(link->notesFolder_) ? link->notesFolder_ : phoneFolder;
    if (int err = probeWritable(writable); err != 0) {
        *error = format(u"the notes folder %s can't be written (%s); nothing was changed", writable,
                        plat::osErrorText(err));
        return nullptr;
    }

    // The phone side: the engine given, else a virtual phone over the store.
    if (engine) {
        link->engine_ = std::move(engine);
    } else {
        engines::VirtualPhoneOptions options;
        std::u16string why;
        if (!engines::parseVirtualPhoneOptions(setup.engineOptions, &options, &why)) {
            *error = u"bad phone options: " + why;
            return nullptr;
        }
        plat::FileStatus st;
        if (plat::getFileStatus(setup.store, &st) && !st.isDirectory) {
            *error = format(u"the phone store %s is a file, not a folder", setup.store);
            return nullptr;
        }
        if (int err = plat::createFolders(setup.store); err != 0) {
            *error =
                format(u"can't create the phone store %s: %s", setup.store, plat::osErrorText(err));
            return nullptr;
        }
        const HRESULT created =
            engines::VirtualPhone::create(setup.store, options, link->phone_.put());
        if (FAILED(created)) {
            *error =
                format(u"can't open the phone store %s (%s)", setup.store, hresultText(created));
            return nullptr;
        }
        link->engine_ =
            com_ptr<vantrel::ISyncEngine>(static_cast<vantrel::ISyncEngine*>(link->phone_.get()));
    }

    // The component object, bound to the phone.
    link->module_ = std::move(module);
    link->setup_ = setup;
    HRESULT hr = link->module_->createObject(&link->init_);
    if (FAILED(hr)) {
        *error = format(u"the module %s could not create a component object (%s)",
                        link->module_->path(), hresultText(hr));
        return nullptr;
    }
    link->dataStore_ = link->init_.try_query<vantrel::IDataStore>(vantrel::IID_IDataStore, &hr);
    if (!link->dataStore_) {
        *error = format(u"the component object has no IDataStore (%s)", hresultText(hr));
        return nullptr;
    }
    unique_bstr imei(setup.imei), alias(setup.alias), store(std::u16string_view(u"Notes"));
    hr = link->init_->Initialize(imei.get(), alias.get(), store.get(), link->engine_.get());
    if (FAILED(hr)) {
        if (taken.heldHere) {
            *error = format(
                u"the module refused phone '%s' (IMEI %s): it is already connected in this "
                u"process (Initialize answered %s)",
                setup.alias, setup.imei, hresultText(hr));
        } else if (recordStoreHeldElsewhere(setup.imei)) {
            // A host other than vantrel has the phone.
            report->busy = true;
            *error = busyPhoneText(setup) + kBusyAdvice;
        } else {
            *error = format(
                u"the module refused phone '%s' (IMEI %s): Initialize answered %s; check that "
                u"its folders can be used: %s, %s (the module's log says more: `vantrel config "
                u"logging LOG_TRACING`)",
                setup.alias, setup.imei, hresultText(hr), phoneFolder,
                moduleDataFolder(setup.imei));
        }
        return nullptr;
    }
    return link;
}

PhoneLink::~PhoneLink() {
    if (monitor_) monitor_->stop();
    if (abandoned_) {
        // A session still runs in the phone and may call the module: keep everything alive,
        // the phone's lock too.
        (void)lock_.release();
        (void)dataStore_.detach();
        (void)init_.detach();
        (void)phone_.detach();
        (void)engine_.detach();
        (void)notify_.detach();
        return;
    }
    dataStore_.reset();
    init_.reset();
    if (phone_) phone_->waitForSession();
    engine_.reset();
    phone_.reset();
    notify_.reset();
}

void PhoneLink::beginSession(const std::u16string& what) {
    report_ = SessionReport{};
    report_.what = what;
    startedMs_ = monotonicMs();
    sessionsAtStart_ = phone_->sessionCount();
    if (monitor_) monitor_->stop();
    monitor_.reset();
    auto wake = std::make_shared<std::weak_ptr<Monitor>>();
    notify_ = SessionNotify::create([wake](const SessionEvent&) {
        if (auto m = wake->lock()) m->wake();
    });
    monitor_ = std::make_shared<Monitor>(setup_.alias, phone_.get(), notify_);
    *wake = monitor_;
    if (!Console::instance().quiet()) monitor_->start();
}

bool PhoneLink::startSync() {
    beginSession(u"sync");
    unique_bstr path(notesFolder_);
    HRESULT hr = dataStore_->Synchronize(
        path.get(), static_cast<vantrel::IDataStoreNotify*>(notify_.get()), &clientSyncId_);
    report_.callResult = hr;
    if (FAILED(hr)) {
        report_ = waitAndReport(hr, 0);
        return false;
    }
    return true;
}

SessionReport PhoneLink::finishSession(int timeoutMs) {
    if (FAILED(report_.callResult)) return report_;
    report_ = waitAndReport(report_.callResult, timeoutMs);
    return report_;
}

SessionReport PhoneLink::synchronize(int timeoutMs) {
    if (!startSync()) return report_;
    return finishSession(timeoutMs);
}

HRESULT PhoneLink::callWithWatchdog(int timeoutMs, bool* cancelled,
                                    const std::function<HRESULT()>& call) {
    // The call blocks for the whole session; the watchdog cancels it when it runs out of time.
    std::mutex m;
    std::condition_variable cv;
    bool returned = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> l(m);
        if (!cv.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return returned; })) {
            *cancelled = true;
            phone_->Cancel(clientSyncId_);
        }
    });
    HRESULT hr = call();
    {
        std::lock_guard<std::mutex> l(m);
        returned = true;
    }
    cv.notify_all();
    watchdog.join();
    return hr;
}

SessionReport PhoneLink::exportFromPhone(int timeoutMs) {
    beginSession(u"export");
    unique_bstr path(notesFolder_);
    bool cancelled = false;
    HRESULT hr = callWithWatchdog(timeoutMs, &cancelled, [&] {
        return dataStore_->ExportDataFromPhone(
            path.get(), 0, 0, static_cast<vantrel::IDataStoreNotify*>(notify_.get()),
            &clientSyncId_);
    });
    report_ = waitAndReport(hr, timeoutMs);
    if (cancelled) {
        report_.timedOut = true;
        report_.ok = false;
        report_.message =
            format(u"the export took longer than %d s and was cancelled", timeoutMs / 1000);
    }
    return report_;
}

SessionReport PhoneLink::importToPhone(const std::vector<ImportItem>& items, bool replace,
                                       bool itemOverwrite, int timeoutMs) {
    unique_bstr path(notesFolder_);
    for (const ImportItem& item : items) {
        unique_bstr name(item.name);
        unique_variant data;
        SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(item.bytes.size()));
        if (!psa) {
            report_ = SessionReport{};
            report_.what = u"import";
            report_.callResult = E_OUTOFMEMORY;
            report_.message = u"out of memory";
            return report_;
        }
        {
            safearray_data_lock<char> lock(psa);
            if (lock.ok()) std::copy(item.bytes.begin(), item.bytes.end(), lock.data());
        }
        data->vt = VT_ARRAY | VT_UI1;
        data->parray = psa;
        HRESULT hr = dataStore_->WriteDataIn(path.get(), name.get(), *data.get());
        if (FAILED(hr)) {
            report_ = SessionReport{};
            report_.what = u"import";
            report_.callResult = hr;
            report_.message = format(
                u"the module did not take %s (WriteDataIn answered %s); "
                u"nothing was imported",
                item.name, hresultText(hr));
            return report_;
        }
    }
    beginSession(u"import");
    bool cancelled = false;
    HRESULT hr = callWithWatchdog(timeoutMs, &cancelled, [&] {
        return dataStore_->ImportDataToPhone(path.get(), replace ? 1 : 0, itemOverwrite ? 1 : 0,
                                             static_cast<vantrel::IDataStoreNotify*>(notify_.get()),
                                             &clientSyncId_);
    });
    report_ = waitAndReport(hr, timeoutMs);
    if (cancelled) {
        report_.timedOut = true;
        report_.ok = false;
        report_.message =
            format(u"the import took longer than %d s and was cancelled", timeoutMs / 1000);
    } else if (FAILED(hr) && report_.end.state < 0 && isDirectory(notesFolder_)) {
        report_.message = format(
            u"the module could not move the notes into %s (%s); the old "
            u"notes were kept",
            notesFolder_, hresultText(hr));
    }
    return report_;
}

HRESULT PhoneLink::readAllOut(const std::u16string& folder) {
    unique_bstr path(notesFolder_), target(folder);
    return dataStore_->ReadAllDataOut(path.get(), target.get());
}

SessionReport PhoneLink::waitAndReport(HRESULT callResult, int timeoutMs) {
    SessionReport r = report_;
    r.callResult = callResult;
    const bool sessionRan = phone_->sessionCount() != sessionsAtStart_;
    const long long deadline = startedMs_ + timeoutMs;
    bool cancelled = false;
    while (sessionRan && !notify_->waitForEnd(20)) {
        if (!phone_->sessionRunning()) {
            // The phone is done; at most a cancellation notice is still on its way (the final
            // notification of a finished or failed session is delivered before the phone's
            // last callback returns).
            notify_->waitForEnd(kLateNoticeMs);
            break;
        }
        const long long now = monotonicMs();
        if (!cancelled && now >= deadline) {
            cancelled = true;
            r.timedOut = true;
            phone_->Cancel(clientSyncId_);
        }
        if (cancelled && now >= deadline + kCancelGraceMs) {
            abandoned_ = true;
            break;
        }
    }
    // The phone saves its state after its final callback: wait for it.
    while (!abandoned_ && phone_->sessionRunning()) {
        if (monotonicMs() >= deadline + kCancelGraceMs) {
            abandoned_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (monitor_) monitor_->stop();
    r.durationMs = monotonicMs() - startedMs_;
    r.end = notify_->ended() ? notify_->endEvent() : SessionEvent{};
    if (sessionRan) r.stats = phone_->lastSession();
    r.ok = SUCCEEDED(callResult) && r.end.state == vantrel::kSyncStateEnded && r.end.result == 0 &&
           !r.timedOut && !abandoned_;
    if (!r.ok) {
        if (abandoned_)
            r.message = u"the session did not end after it was cancelled; giving up";
        else if (r.timedOut)
            r.message =
                format(u"the session took longer than %d s and was cancelled", timeoutMs / 1000);
        else if (r.end.state == vantrel::kSyncStateCanceled)
            r.message = u"the session was cancelled";
        else if (r.end.state == vantrel::kSyncStateEnded)
            r.message = format(u"the session failed (%s)", hresultText(r.end.result));
        else if (FAILED(callResult) && !isDirectory(notesFolder_))
            // The module refuses a session when the notes folder it has notes of is gone.
            r.message = missingNotesFolderText(setup_, notesFolder_);
        else if (FAILED(callResult))
            r.message =
                format(u"the module refused to start the session (%s)", hresultText(callResult));
        else
            r.message = u"the session ended without the module's final notification";
        if (!r.stats.error.empty()) r.message += u"; the phone says: " + r.stats.error;
    }
    return r;
}

std::u16string outcomeText(const SessionReport& r) {
    if (r.ok) return u"finished";
    if (r.timedOut) return u"timed out";
    if (r.end.state == vantrel::kSyncStateCanceled) return u"cancelled";
    if (r.end.state == vantrel::kSyncStateEnded)
        return u"failed (" + hresultText(r.end.result) + u")";
    if (FAILED(r.callResult)) return u"not started (" + hresultText(r.callResult) + u")";
    return u"failed";
}

std::vector<std::u16string> summaryLines(const std::u16string& label, const SessionReport& r) {
    const engines::SessionStats& s = r.stats;
    std::vector<std::u16string> out;
    out.push_back(format(u"%s: %s %s in %d.%03d s", label, r.what, outcomeText(r),
                         r.durationMs / 1000, r.durationMs % 1000));
    out.push_back(u"                  added  replaced  deleted");
    out.push_back(
        format(u"  phone -> PC   %7d  %8d  %7d", s.sentAdds, s.sentReplaces, s.sentDeletes));
    out.push_back(format(u"  PC -> phone   %7d  %8d  %7d", s.appliedAdds, s.appliedReplaces,
                         s.appliedDeletes));
    std::u16string extra = format(u"  conflicts: %d", s.conflicts);
    if (s.conflicts) extra += u" (the PC's version won and went to the phone)";
    if (s.refused) extra += format(u"; refused by the PC: %d (sent again next time)", s.refused);
    if (s.refusedByPhone) extra += format(u"; refused by the phone: %d", s.refusedByPhone);
    if (s.notFound) extra += format(u"; not found on the phone: %d", s.notFound);
    out.push_back(extra);
    if (!r.ok && !r.message.empty()) out.push_back(u"  " + r.message);
    return out;
}

}  // namespace vt::host
