// Session start: the scan of the notes folder against NotesDB and the "filetime:" properties,
// the hand-over of every PC change to the engine, and StartSync with the sync type and anchors.
#include <algorithm>

#include "controller/controller_log.h"
#include "controller/notes_controller.h"
#include "controller/notify_converter.h"
#include "controller/property_keys.h"
#include "platform/com_raii.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/time.h"
#include "util/byte_array_variant.h"
#include "util/folder_utils.h"
#include "util/text_error.h"

namespace vt {

namespace {
constexpr char16_t kDataStore[] = u"Notes";
constexpr char16_t kContentType[] = u"text/plain";
}  // namespace

HRESULT CNotesController::synchronize() {
    return startSession(false);
}

HRESULT CNotesController::startSession(bool waited) {
    const auto& log = controllerLog();
    log.trace(u"synchronize()");
    bool idle = false;
    if (!m_sessionRunning.compare_exchange_strong(idle, true)) {
        // Cutting the running session off would leave the phone with changes the PC never
        // settles; the host has to wait for its end (or cancel it).
        log.high(u"synchronize(): the previous session with the phone has not ended; refused");
        return kHrSessionRunning;
    }

    // The previous session's sink is cut loose first, holding no lock of ours: a callback in
    // flight holds the sink's lock and waits for ours. The notification object given just
    // before this call then belongs to the new sink (the old sink's end drops only the object
    // of its own session). A sink still awaiting its final notification releases its
    // session's waiters now, so this session's waiter is armed only afterwards.
    releaseSink();
    if (waited) {
        m_hSyncDone.reset();
        m_sessionFinished = false;
    }

    int32_t alert;
    std::u16string lastAnchor, nextAnchor;
    bool slowBefore = false;
    size_t jobsBefore = 0;
    HRESULT hr;
    {
        auto state = lockState();
        slowBefore = m_bSlowSync;
        // Every property change of the start is on record before the engine may call back.
        JournalBatch batch(*this);
        {
            std::lock_guard<std::recursive_mutex> notifyLock(m_notifyLock);
            m_pNotifyConverter.attach(
                new CNotifyConverter(this, m_pDataStoreNotify.get(), m_uiClientSyncID));
        }
        jobsBefore = m_sentjobs.size();
        hr = addLocalChanges();
        if (FAILED(hr)) {
            log.trace(format(u"synchronize(): addLocalChanges() failed 0x%X", hr));
            // The session won't start: take back what this scan handed over, or the next
            // scan would hand it over a second time.
            withdrawJobsSince(jobsBefore);
            abandonSession(waited);
            return hr;
        }
        if (m_lastSyncNum == -1) {
            alert = vantrel::kAlertSlowSync;
            lastAnchor = format(u"%d", 0);
            nextAnchor = format(u"%d", 0);
            m_bSlowSync = true;
        } else {
            alert = vantrel::kAlertTwoWay;
            lastAnchor = format(u"%d", m_lastSyncNum);
            nextAnchor = format(u"%d", m_lastSyncNum + 1);
            m_bSlowSync = false;
        }
        ++m_lastSyncNum;
        log.trace(u"synchronize() ");
        // Stored before the engine starts, so that nothing of the start is written once the
        // engine may call back.
        setNumber(keys::kLastSyncNum, m_lastSyncNum);
    }

    if (m_pEngine) {
        unique_bstr store(kDataStore), last(lastAnchor), next(nextAnchor);
        hr = m_pEngine->StartSync(alert, store.get(), store.get(), last.get(), next.get(), 0,
                                  m_pNotifyConverter.get(), &m_sessionValue);
    } else {
        log.trace(u"Synchronize :: m_pEngine == NULL");
    }
    if (!m_pEngine || FAILED(hr)) {
        // No session runs: nothing handed over stays with the engine, and the anchors stay
        // where they were, so that the next start sends nothing twice and the phone's anchors
        // still match.
        auto state = lockState();
        JournalBatch batch(*this);
        withdrawJobsSince(jobsBefore);
        --m_lastSyncNum;
        m_bSlowSync = slowBefore;
        setNumber(keys::kLastSyncNum, m_lastSyncNum);
        abandonSession(waited);
    }
    log.trace(u"synchronize() exiting");
    setLastSyncTime();
    return hr;
}

void CNotesController::withdrawJobsSince(size_t count) {
    while (m_sentjobs.size() > count) {
        SentJob& job = m_sentjobs.front();
        if (m_pEngine) {
            unique_bstr store(kDataStore);
            m_pEngine->WithdrawItem(store.get(), job.cmdId);
        }
        m_sentjobs.pop_front();
    }
}

void CNotesController::abandonSession(bool waited) {
    m_sessionRunning = false;
    if (waited) {
        m_sessionFinished = false;
        m_hSyncDone.set();
    }
}

HRESULT CNotesController::addLocalChanges() {
    const auto& log = controllerLog();
    const bool tracing = log.tracing();
    log.trace(u"addLocalChanges()");

    // What was last exchanged: the NotesDB keys (ascending) with their "filetime:" values,
    // joined in one pass over the equally ordered property keys.
    std::vector<std::u16string> keys;
    m_notesDB.getKeys(keys);
    std::vector<int64_t> times(keys.size());
    size_t next = 0;
    bool mismatch = false;
    m_pProperties->forEachWithPrefix(
        keys::kFileTime, [&](std::u16string_view name, CPropertyValue& v) {
            if (mismatch || next >= keys.size()) return;
            if (std::u16string_view(keys[next]) < name) {
                mismatch = true;  // keys[next] has no file time
                return;
            }
            if (std::u16string_view(keys[next]) != name) return;
            try {
                CTime t;
                v.getCTimeValue(t);
                times[next++] = t.seconds;
            } catch (const TextError& e) {
                log.high(u"addLocalChanges() propertyException:" + e.text());
                mismatch = true;
            }
        });
    if (mismatch || next < keys.size()) {
        // Kept exactly as log readers know it, "cleaup" included.
        log.high(u"addLocalChanges(): properties and DB mismatch, do cleaup please");
        return E_FAIL;
    }

    std::vector<plat::FindEntry> files;
    if (int err = getLocalTextFileNames(files); err != 0) {
        // A folder that can't be read (renamed, moved, unplugged, no access) is no folder
        // without notes: taking it for one would delete every note on the phone.
        log.critic(
            format(u"addLocalChanges(): the notes folder %s can't be listed (%s); nothing "
                   u"is handed over and the session is not started",
                   m_notesFolder, plat::systemErrorText(err)));
        return E_FAIL;
    }
    std::vector<bool> seen(keys.size(), false);
    std::vector<std::u16string> changed, added;
    for (const auto& f : files) {
        auto it = std::lower_bound(keys.begin(), keys.end(), f.name);
        if (it == keys.end() || *it != f.name) {
            if (tracing) log.trace(format(u"addLocalChanges() new file %s", f.name));
            added.push_back(f.name);
            continue;
        }
        const size_t i = static_cast<size_t>(it - keys.begin());
        if (times[i] == f.lastWriteTime) {
            if (tracing) log.trace(format(u"addLocalChanges() unchanged %s", f.name));
        } else {
            if (tracing) log.trace(format(u"addLocalChanges() changed %s", f.name));
            changed.push_back(f.name);
        }
        seen[i] = true;
    }
    std::vector<std::u16string> deleted;
    for (size_t i = 0; i < keys.size(); ++i)
        if (!seen[i]) deleted.push_back(keys[i]);
    if (deleted.empty())
        log.trace(u"addLocalChanges() no deleted files");
    else
        log.trace(
            format(u"addLocalChanges() %d deleted files", static_cast<int64_t>(deleted.size())));

    HRESULT result = S_OK;
    auto settle = [&](HRESULT r, const char16_t* op, const std::u16string& name) {
        if (SUCCEEDED(result)) result = r;
        if (FAILED(r))
            log.high(format(u"addLocalChanges(): %s() failed with (0x%X) %s", op, r, name));
    };
    for (const auto& name : deleted) {
        HRESULT r = putDelFile(name);
        log.trace(u"addLocalChanges(): putDelFile() " + name);
        settle(r, u"putDelFile", name);
    }
    for (const auto& name : changed) {
        log.trace(u"addLocalChanges(): putModFile() " + name);
        settle(putModFile(name), u"putModFile", name);
    }
    for (const auto& name : added) {
        log.trace(u"addLocalChanges(): putAddFile() " + name);
        settle(putAddFile(name), u"putAddFile", name);
    }
    log.trace(u"addLocalChanges() done");
    return result;
}

int CNotesController::getLocalTextFileNames(std::vector<plat::FindEntry>& names) {
    const auto& log = controllerLog();
    names.clear();
    const std::u16string pattern = plat::joinPath(m_notesFolder, u"*.txt");
    std::u16string line = u"getLocalTextFileNames() trying to find files " + pattern;
    log.trace(line);
    std::vector<plat::FindEntry> entries;
    if (int err = plat::searchFolder(pattern, plat::FindDetail::WithTimes, &entries); err != 0)
        return err;
    if (entries.empty()) {
        log.trace(line + u"NOT FOUND");
        return 0;
    }
    const bool tracing = log.tracing();
    names.reserve(entries.size());
    for (auto& e : entries) {
        if (e.isDirectory) continue;
        if (tracing) log.trace(u"getLocalTextFileNames() found " + e.name);
        names.push_back(std::move(e));
    }
    return 0;
}

NoteBytes CNotesController::readDiskFileAndSetVar(const std::u16string& path, uint32_t& size,
                                                  int64_t& time, VARIANT* var) {
    const auto& log = controllerLog();
    size = 0;
    plat::File file;
    plat::FileException openError(0, 0, u"");
    if (!file.tryOpen(path, plat::Access::Read, plat::Disposition::OpenExisting,
                      plat::Share::Exclusive, &openError)) {
        log.critic(u"readDiskFile...() error" + describeFileException(&openError, true));
        return {};
    }
    NoteBytes buffer;
    uint32_t got = 0;
    try {
        const uint64_t length = file.length();
        if (length > 0x7FFFFFFEu) throw plat::FileException(plat::kCauseGeneric, 0, path);
        buffer.attach(static_cast<uint8_t*>(CoTaskMemAlloc(static_cast<SIZE_T>(length) + 1)));
        if (!buffer) throw plat::FileException(plat::kCauseGeneric, 0, path);
        got = static_cast<uint32_t>(file.readAt(0, buffer.get(), static_cast<size_t>(length)));
        plat::FileStatus st;
        try {
            st = file.status();
        } catch (const plat::FileException&) {
            log.critic(u"readDiskFile..() error: GetStatus of " + path);
            return {};
        }
        file.close();
        time = st.lastWriteTime;
    } catch (const plat::FileException& e) {
        log.critic(u"readDiskFile..() CFileException:" + describeFileException(&e, true) + path);
        return {};
    }
    if (!ByteArrayVariant().fromBytes(buffer.get(), got, var)) {
        log.critic(u"readDiskFileAndSetVar() error with variant " + path);
        return {};
    }
    size = got;
    return buffer;
}

NoteBytes CNotesController::readNoteToSend(const char16_t* op, const std::u16string& fileName,
                                           uint32_t& size, int64_t& time, VARIANT* var) {
    NoteBytes buffer =
        readDiskFileAndSetVar(plat::joinPath(m_notesFolder, fileName), size, time, var);
    if (!buffer)
        controllerLog().critic(format(u"%s() error with file (or variant) %s", op, fileName));
    return buffer;
}

HRESULT CNotesController::sendNote(int32_t opType, const std::u16string& fileName,
                                   const std::u16string& id, NoteBytes buffer, uint32_t size,
                                   int64_t time, unique_variant& var) {
    ULONG cmdId = 0;
    unique_bstr store(kDataStore), luid(id), type(kContentType), empty1(u""), empty2(u"");
    HRESULT hr = opType == opTypeAdd
                     ? m_pEngine->AddItem(store.get(), luid.get(), type.get(), empty1.get(),
                                          empty2.get(), *var.get(), &cmdId)
                     : m_pEngine->ReplaceItem(store.get(), luid.get(), type.get(), empty1.get(),
                                              empty2.get(), *var.get(), &cmdId);
    var.reset();
    if (FAILED(hr)) {
        // The command number is undefined: a job under it could catch another command's status.
        if (opType == opTypeAdd)
            controllerLog().critic(format(u"putAddFile() engine->AddItem() failed 0x%X", hr));
        return hr;
    }
    SentJob job;
    job.fileName = fileName;
    job.fileTime = time;
    job.opType = opType;
    job.data = std::move(buffer);
    job.dataSize = size;
    job.cmdId = cmdId;
    (opType == opTypeAdd ? job.localLuid : job.luid) = id;
    m_sentjobs.push_front(std::move(job));
    return hr;
}

HRESULT CNotesController::putAddFile(const std::u16string& fileName) {
    unique_variant var;
    uint32_t size = 0;
    int64_t time = 0;
    NoteBytes buffer = readNoteToSend(u"putAddFile", fileName, size, time, var.get());
    if (!buffer) return E_FAIL;
    return sendNote(opTypeAdd, fileName, allocateLocalLuid(), std::move(buffer), size, time, var);
}

HRESULT CNotesController::putModFile(const std::u16string& fileName) {
    unique_variant var;
    uint32_t size = 0;
    int64_t time = 0;
    NoteBytes buffer = readNoteToSend(u"putModFile", fileName, size, time, var.get());
    if (!buffer) return E_FAIL;
    CPropertyValue* mapped = m_pProperties->get(keys::kPcFileName + fileName);
    if (!mapped) {
        controllerLog().critic(format(u"putModFile() error with file %s, no luid", fileName));
        return E_FAIL;
    }
    std::u16string luid;
    mapped->getStringValue(luid);
    return sendNote(opTypeMod, fileName, luid, std::move(buffer), size, time, var);
}

HRESULT CNotesController::putDelFile(const std::u16string& fileName) {
    const auto& log = controllerLog();
    CPropertyValue* mapped = m_pProperties->get(keys::kPcFileName + fileName);
    if (!mapped) {
        log.critic(format(u"putDelFile() error with file %s, no luid", fileName));
        return E_FAIL;
    }
    std::u16string luidText;
    mapped->getStringValue(luidText);
    ULONG cmdId = 0;
    unique_bstr store(kDataStore), luid(luidText), type(kContentType);
    HRESULT hr = m_pEngine->DeleteItem(store.get(), luid.get(), 0, 0, type.get(), &cmdId);
    if (FAILED(hr)) {
        log.critic(
            format(u"putDelFile() error in DeleteItem file %s,  luid %s", fileName, luidText));
        return hr;
    }
    SentJob job;
    job.fileName = fileName;
    job.fileTime = plat::currentTime();
    job.opType = opTypeDel;
    job.cmdId = cmdId;
    job.luid = luidText;
    m_sentjobs.push_front(std::move(job));
    return hr;
}

}  // namespace vt
