// The phone's answers to the PC's changes: the alert, statuses and maps, which turn sent jobs
// into stored records and mapping properties; and the end of a session.
#include "controller/controller_log.h"
#include "controller/notes_controller.h"
#include "controller/property_keys.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"

namespace vt {

namespace {
const char16_t* typeWord(int32_t alert) {
    return alert == vantrel::kAlertSlowSync ? u"slow" : u"two_way";
}

// A name from the mapping (a note file's name as the notes folder gave it, or as the
// controller chose it) that stays inside the notes folder, whatever a damaged property file says.
bool staysInFolder(const std::u16string& name) {
    return !name.empty() && name != u"." && name != u".." &&
           name.find_first_of(u"/\\") == std::u16string::npos;
}

}  // namespace

HRESULT CNotesController::clientCmdAlert(int32_t alertCode, const std::u16string& lastAnchor,
                                         const std::u16string& nextAnchor, LONG* status) {
    auto state = lockState();
    int32_t expected;
    std::u16string expLast, expNext;
    if (m_lastSyncNum == 0) {
        expected = vantrel::kAlertSlowSync;
        expLast = u"0";
        expNext = u"0";
    } else {
        expected = vantrel::kAlertTwoWay;
        expLast = format(u"%d", m_lastSyncNum - 1);
        expNext = format(u"%d", m_lastSyncNum);
    }
    std::u16string line;
    if (alertCode == expected && lastAnchor == expLast && nextAnchor == expNext)
        line = format(u"clientCmdAlert() values  %s, l:%s, n:%s", typeWord(alertCode), lastAnchor,
                      nextAnchor);
    else
        line = format(
            u"clientCmdAlert() values differs ours: %s, l:%s, n:%s, clients: %s, l:%s, n:%s",
            typeWord(expected), expLast, expNext, typeWord(alertCode), lastAnchor, nextAnchor);
    controllerLog().trace(line);
    *status = vantrel::kStatusOk;
    return S_OK;
}

HRESULT CNotesController::clientCmdStatus(uint32_t cmdId, uint32_t status) {
    auto state = lockState();
    JournalBatch batch(*this);
    const auto& log = controllerLog();
    log.trace(format(u"clientCmdStatus(cmd %u, status %u)", cmdId, status));
    auto job = m_sentjobs.findByCmdId(cmdId);
    if (job == m_sentjobs.end()) {
        log.high(format(u"clientCmdStatus(cmd %u): unknown command", cmdId));
        return E_FAIL;
    }
    switch (job->opType) {
        case opTypeAdd:
            return commitAddFile(*job, status);
        case opTypeDel:
            return commitDelFile(*job, status);
        case opTypeMod:
            return commitModFile(*job, status);
        default:
            log.critic(u"clientCmdStatus( ): opTypeUndef");
            return E_FAIL;
    }
}

int32_t CNotesController::storeJobData(SentJob& job) {
    int32_t r = m_notesDB.store(job.fileName, job.data.get(), static_cast<int32_t>(job.dataSize));
    // The bytes are let go whatever the store answered.
    job.data.reset();
    job.dataSize = 0;
    return r;
}

HRESULT CNotesController::commitAddFile(SentJob& job, uint32_t status) {
    const auto& log = controllerLog();
    if (status != vantrel::kStatusOk && status != vantrel::kStatusItemAdded) {
        log.high(format(u"commitAddFile() '%s' NOK status? (%d) ", job.fileName, status));
        return S_OK;
    }
    log.trace(format(u"commitAddFile() '%s' status acceptable %d ", job.fileName, status));
    const bool luidKnown = !job.luid.empty();
    if (!luidKnown) log.high(u"commitAddFile(): luid not present");
    if (job.commitCount != 0) {
        log.high(u"commitAddFile(): job is used");
        ++job.commitCount;
        return E_FAIL;
    }
    int32_t r = storeJobData(job);
    if (r < 0) {
        log.critic(format(u"commitAddFile() NotesDB.store failed (%d)", r));
        return E_FAIL;
    }
    setTime(keys::kFileTime + job.fileName, job.fileTime);
    if (luidKnown) {
        setText(keys::kLuid2File + job.luid, job.fileName);
        setText(keys::kPcFileName + job.fileName, job.luid);
    }
    setNumber(keys::kLuid2SyncNo + job.luid, m_lastSyncNum);
    setTrue(keys::kPcModified + job.fileName);
    ++job.commitCount;
    return S_OK;
}

HRESULT CNotesController::commitModFile(SentJob& job, uint32_t status) {
    const auto& log = controllerLog();
    if (status != vantrel::kStatusOk) {
        log.high(format(u"commitModFile() '%s' NOK status? (%d) ", job.fileName, status));
        return S_OK;
    }
    log.trace(format(u"commitModFile() '%s' status acceptable %d ", job.fileName, status));
    if (job.commitCount != 0) {
        log.high(u"commitModFile(): job is used");
        ++job.commitCount;
        return E_FAIL;
    }
    int32_t r = storeJobData(job);
    if (r < 0) {
        log.critic(format(u"commitModFile() NotesDB.store failed (%d)", r));
        return E_FAIL;
    }
    setTime(keys::kFileTime + job.fileName, job.fileTime);
    setNumber(keys::kLuid2SyncNo + job.luid, m_lastSyncNum);
    setTrue(keys::kPcModified + job.fileName);
    ++job.commitCount;
    return S_OK;
}

HRESULT CNotesController::commitDelFile(SentJob& job, uint32_t status) {
    const auto& log = controllerLog();
    if (status != vantrel::kStatusOk) {
        log.high(format(u"commitDelFile() '%s' NOK status? (%d) ", job.fileName, status));
        // 199 to 299 count as a yes (199, not 200: kept as the phones' statuses were always
        // taken); a delete the phone no longer knows (404) has happened all the same.
        if ((status < 199u || status > 299u) && status != vantrel::kStatusNotFound) return S_OK;
    }
    log.trace(format(u"commitDelFile() '%s' status accepting as a yes %d ", job.fileName, status));
    HRESULT result;
    if (job.commitCount != 0) {
        log.high(u"commitDelFile(): job is used");
        result = E_FAIL;
    } else {
        LONG ignored = 0;
        result = destroyAllReferences(job.luid, &ignored, &job);
    }
    ++job.commitCount;
    return result;
}

HRESULT CNotesController::clientMapItemAdded(const std::u16string& luid,
                                             const std::u16string& localLuid) {
    auto state = lockState();
    JournalBatch batch(*this);
    const auto& log = controllerLog();
    log.trace(format(u"clientMapItemAdded(L:%s LL:%s)", luid, localLuid));
    auto job = m_sentjobs.findByLocalLuid(localLuid);
    if (job == m_sentjobs.end()) {
        log.critic(format(u"clientMapItemAdded(): unknown localluid '%s'  SOMETHING is broken",
                          localLuid));
        return E_FAIL;
    }
    m_sentjobs.setLuid(job, luid);
    if (job->commitCount != 0) {
        setText(keys::kLuid2File + luid, job->fileName);
        setText(keys::kPcFileName + job->fileName, luid);
    }
    return S_OK;
}

HRESULT CNotesController::syncStatusStarted() {
    controllerLog().trace(u"syncStatusStarted()");
    return S_OK;
}

HRESULT CNotesController::syncStatusCanceled() {
    auto state = lockState();
    controllerLog().trace(u"syncStatusCanceled()");
    endSession(false, true);
    return S_OK;
}

HRESULT CNotesController::syncStatusFailed(int32_t, bool signalEnd) {
    auto state = lockState();
    controllerLog().trace(u"syncStatusFailed()");
    endSession(false, signalEnd);
    return S_OK;
}

void CNotesController::endSession(bool finished, bool signalEnd) {
    // A session that ended without finishing leaves its jobs unanswered: release them so the
    // next session starts clean, and release whoever waits for the session. The mapping and
    // records made so far stay in memory and are saved by the next session end or on close.
    if (!finished) m_sentjobs.clear();
    m_sessionFinished = finished;
    m_sessionRunning = false;
    if (signalEnd) m_hSyncDone.set();
}

HRESULT CNotesController::syncStatusFinished(bool signalEnd) {
    auto state = lockState();
    const auto& log = controllerLog();
    HRESULT result = S_OK;
    {
        // The event is non-signalled while the session end is written; with signalEnd it is
        // set again when this returns, otherwise by signalSessionEnd.
        std::optional<EventResetScope> busy;
        if (signalEnd)
            busy.emplace(&m_hSyncDone);
        else
            m_hSyncDone.reset();
        log.trace(u"syncStatusFinished()");
        // Properties before the index: the start-up repair can rebuild records from the notes
        // folder for properties that have none, but not the mapping of records without it.
        if (!unloadProperties()) log.critic(u"syncStatusFinished() Saving properties error");
        if (m_notesDB.save() < 0) log.critic(u"syncStatusFinished() db save failed");
        bool allCommitted = true;
        for (SentJob& job : m_sentjobs) {
            if (job.data) {
                log.high(u"syncStatusFinished() m_sentjobs unfreed memory  " + job.fileName);
                job.data.reset();
            }
            if (job.commitCount == 0) {
                log.high(u"syncStatusFinished() m_sentjobs sentjob state == 0 " + job.fileName);
                allCommitted = false;
            }
        }
        m_sentjobs.clear();
        m_sessionFinished = true;
        m_sessionRunning = false;
        result = allCommitted ? S_OK : E_FAIL;
    }
    return result;
}

HRESULT CNotesController::destroyAllReferences(const std::u16string& luid, LONG* status,
                                               const SentJob* pcDelete) {
    const auto& log = controllerLog();
    log.trace(u"destroyAllReferences() luid:" + luid);
    std::optional<std::u16string> found = findFileOfLuid(luid);
    if (!found && pcDelete) {
        // The other half of the mapping, should this half be gone.
        CPropertyValue* v = m_pProperties->get(keys::kPcFileName + pcDelete->fileName);
        std::u16string mapped;
        if (v) v->getStringValue(mapped);
        if (v && mapped == luid) found = pcDelete->fileName;
    }
    if (!found) {
        log.critic(u"destroyAllReferences() unknown luid");
        *status = vantrel::kStatusNotFound;
        return E_FAIL;
    }
    const std::u16string& name = *found;
    const std::u16string path = plat::joinPath(m_notesFolder, name);
    plat::FileStatus st;
    if (pcDelete) {
        // The PC had deleted the note before the session started; a file of its name now is a
        // new note that the user made since, and it stays.
        log.trace(format(u"destroyAllReferences() file %s deleted on the PC", path));
    } else if (!staysInFolder(name) || !plat::getFileStatus(path, &st)) {
        log.trace(format(u"destroyAllReferences() file %s already lost", path));
    } else if (plat::removeFile(path) != 0) {
        log.critic(format(u"destroyAllReferences(): error in CFile::Remove('%s')", path));
    }
    if (m_notesDB.remove(name) < 0) {
        log.high(u"destroyAllReferences() " + name + u" could not remove");
        *status = vantrel::kStatusDataStoreFailure;
        return E_FAIL;
    }
    dropProperty(keys::kLuid2File + luid);
    dropProperty(keys::kPcFileName + name);
    dropProperty(keys::kLuid2SyncNo + luid);
    dropProperty(keys::kLuidAdded + luid);
    dropProperty(keys::kFileTime + name);
    dropProperty(keys::kLocalAdded + name);
    dropProperty(keys::kPcModified + name);
    *status = vantrel::kStatusOk;
    return S_OK;
}

}  // namespace vt
