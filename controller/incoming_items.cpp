// The phone's item commands: Add, Replace, Delete and Get, applied to the notes folder,
// NotesDB and the mapping properties. Conflicts go the PC's way.
#include "controller/controller_log.h"
#include "controller/notes_controller.h"
#include "controller/property_keys.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "util/folder_utils.h"

namespace vt {

namespace {

constexpr char16_t kExtension[] = u"txt";

}  // namespace

bool CNotesController::fileExists(const std::u16string& path) {
    plat::FileStatus st;
    return plat::getFileStatus(path, &st);
}

std::optional<std::u16string> CNotesController::findFileOfLuid(const std::u16string& luid) {
    CPropertyValue* v = m_pProperties->get(keys::kLuid2File + luid);
    if (!v) return std::nullopt;
    std::u16string name;
    v->getStringValue(name);
    return name;
}

std::u16string CNotesController::resolveFileName(
    const std::u16string& luid, const std::optional<std::u16string>& secondFolder) {
    controllerLog().trace(format(u"resolveFileName() luid '%s'", luid));
    // ';' joins the pieces of many phones' LUIDs; it becomes a blank like every character
    // that can't stand in a file name.
    std::u16string base = luid;
    for (char16_t& c : base)
        if (c == u';' || !plat::isFileNameChar(c)) c = u' ';
    // What is left to refuse is a device name ("CON", "aux .x"): it gets a '_' in front.
    if (!plat::isPlainFileName(format(u"%s.%s", base, kExtension))) base.insert(0, 1, u'_');
    for (int n = 1;; ++n) {
        std::u16string name =
            n == 1 ? format(u"%s.%s", base, kExtension) : format(u"%s(%d).%s", base, n, kExtension);
        if (fileExists(plat::joinPath(m_notesFolder, name))) continue;
        if (secondFolder && fileExists(plat::joinPath(*secondFolder, name))) continue;
        // A note that the PC deleted keeps its name until its delete is settled: every NotesDB
        // key has a file time, and every mapped note its LUID.
        if (m_pProperties->get(keys::kFileTime + name) ||
            m_pProperties->get(keys::kPcFileName + name))
            continue;
        return name;
    }
}

bool CNotesController::writeFile(const std::u16string& folder, const std::u16string& fileName,
                                 const uint8_t* data, int32_t length) {
    const auto& log = controllerLog();
    const std::u16string path = plat::joinPath(folder, fileName);
    // The note is written beside its final name and renamed over it, so a crash never leaves a
    // torn note. An existing note is first opened exclusively, which keeps the refusal of a
    // file that another program holds open.
    plat::FileStatus st;
    if (plat::getFileStatus(path, &st)) {
        plat::File probe;
        if (st.isDirectory ||
            !probe.tryOpen(path, plat::Access::Write, plat::Disposition::OpenExisting,
                           plat::Share::Exclusive)) {
            log.critic(format(u"writeFile() Cannot create file %s", path));
            return false;
        }
    }
    const std::u16string temp = path + u".part";
    plat::File out;
    if (!out.tryOpen(temp, plat::Access::Write, plat::Disposition::CreateAlways,
                     plat::Share::Exclusive)) {
        log.critic(format(u"writeFile() Cannot create file %s", path));
        return false;
    }
    try {
        if (length > 0) out.writeAt(0, data, static_cast<size_t>(length));
        out.close();
        if (int err = plat::renameFile(temp, path, plat::RenameSource::OwnClosedFile); err != 0)
            throw plat::FileException::fromOsError(err, path);
        return true;
    } catch (const plat::FileException& e) {
        log.critic(format(u"writeFile: catched: %s", describeFileException(&e, true)));
        out = plat::File();
        plat::removeFile(temp);
        return false;
    }
}

HRESULT CNotesController::listenAdd(int32_t rev, uint32_t cmdid, std::u16string luid,
                                    const uint8_t* data, int32_t length, LONG* status) {
    auto state = lockState();
    JournalBatch batch(*this);
    const auto& log = controllerLog();
    log.trace(u"listenAdd()");
    if (m_bImportNoAppend) log.trace(u"listenAdd() import with append=false ongoing()");
    *status = vantrel::kStatusItemAdded;

    if (findFileOfLuid(luid)) {
        if (!m_bSlowSync) {
            log.high(u"listenAdd() SLOW coming but requested FAST  okay preparing to it");
            m_bSlowSync = true;
        }
        log.trace(u"transferring to replace");
        HRESULT hr = listenRep(rev, cmdid, luid, data, length, status);
        if (SUCCEEDED(hr)) *status = vantrel::kStatusItemAdded;
        return hr;
    }

    const std::u16string name = resolveFileName(luid, std::nullopt);
    log.trace(format(u"listenAdd() fname '%s'", name));
    setText(keys::kPcFileName + name, luid);
    setText(keys::kLuid2File + luid, name);
    setNumber(keys::kLuid2SyncNo + luid, m_lastSyncNum);
    setTrue(keys::kLuidAdded + luid);
    // The mapping is on record before the note appears, so a crash in between can't turn the
    // phone's note into a new PC note.
    flushJournal();

    // A failed add leaves no trace: the phone keeps its note and sends it again, whereas a
    // record or mapping without its file would read as a note deleted on the PC.
    auto undo = [&](bool stored) {
        if (stored) m_notesDB.remove(name);
        dropProperty(keys::kPcFileName + name);
        dropProperty(keys::kLuid2File + luid);
        dropProperty(keys::kLuid2SyncNo + luid);
        dropProperty(keys::kLuidAdded + luid);
        *status = vantrel::kStatusDataStoreFailure;
        return E_FAIL;
    };
    if (m_notesDB.store(name, data, length) < 0) {
        log.critic(u"listenAdd() write to NotesDB failed");
        return undo(false);
    }
    if (!writeFile(m_notesFolder, name, data, length)) return undo(true);
    const std::u16string path = plat::joinPath(m_notesFolder, name);
    plat::FileStatus st;
    if (plat::getFileStatus(path, &st))
        setTime(keys::kFileTime + name, st.lastWriteTime);
    else
        log.critic(format(u"listenAdd() stat of file '%s' failed", path));
    log.trace(u"listenAdd() *END*");
    return S_OK;
}

HRESULT CNotesController::listenRep(int32_t rev, uint32_t cmdid, std::u16string luid,
                                    const uint8_t* data, int32_t length, LONG* status) {
    auto state = lockState();
    JournalBatch batch(*this);
    const auto& log = controllerLog();
    if (m_sentjobs.findByLuid(luid) != m_sentjobs.end()) {
        // The conflict and failure lines of this file are kept exactly as log readers know
        // them, spelling included ("reversable not suporeted", "do_mege").
        log.high(u"listenRep() Houston we have a problem ! conflict");
        log.trace(u"listenRep() conflict->PC wins!");
        *status = vantrel::kStatusConflictResolvedWithServerData;
        return S_OK;
    }
    if (rev) {
        log.high(u"listenRep() reversable not suporeted");
        *status = vantrel::kStatusCommandNotImplemented;
        return E_FAIL;
    }
    return do_merge(luid, data, length, status);
}

HRESULT CNotesController::do_merge(const std::u16string& luid, const uint8_t* data, int32_t length,
                                   LONG* status) {
    const auto& log = controllerLog();
    log.trace(u"do_merge()");
    std::optional<std::u16string> found = findFileOfLuid(luid);
    if (!found) {
        log.critic(u"do_merge() unknown luid");
        *status = vantrel::kStatusNotFound;
        return E_FAIL;
    }
    const std::u16string& name = *found;
    if (m_pProperties->get(keys::kPcModified + name))
        log.critic(format(u"do_merge() %s needs merging, but doing overwrite", name));
    if (m_notesDB.store(name, data, length) < 0) {
        log.critic(u"do_mege() : db failed");
        *status = vantrel::kStatusNotFound;
        return E_FAIL;
    }
    if (!writeFile(m_notesFolder, name, data, length)) {
        log.critic(u"do_merge() failed to write file to disk");
        *status = vantrel::kStatusDataStoreFailure;
        return E_FAIL;
    }
    plat::FileStatus st;
    if (!plat::getFileStatus(plat::joinPath(m_notesFolder, name), &st)) {
        log.critic(u"do_merge(): cannot stat file " + name);
        *status = vantrel::kStatusDataStoreFailure;
        return E_FAIL;
    }
    setTime(keys::kFileTime + name, st.lastWriteTime);
    setNumber(keys::kLuid2SyncNo + luid, m_lastSyncNum);
    *status = vantrel::kStatusOk;
    return S_OK;
}

HRESULT CNotesController::listenDel(int32_t rev, uint32_t cmdid, std::u16string luid,
                                    LONG* status) {
    auto state = lockState();
    JournalBatch batch(*this);
    const auto& log = controllerLog();
    auto job = m_sentjobs.findByLuid(luid);
    if (job == m_sentjobs.end()) {
        log.trace(u"listenDel() ok this should not be a problem");
    } else if (job->opType == opTypeDel) {
        log.trace(u"listenDel() entry deleted from both systems (ok)");
        if (m_pEngine) {
            unique_bstr store(u"Notes");
            m_pEngine->WithdrawItem(store.get(), job->cmdId);
        }
        m_sentjobs.erase(job);
    } else if (job->opType == opTypeMod) {
        log.high(u"listenDel() Houston we have a problem ! conflict");
        log.high(u"listenDel() ! conflict handling not supported");
        log.trace(u"listenDel() conflict->PC wins!");
        *status = vantrel::kStatusConflictResolvedWithServerData;
        return S_OK;
    } else {
        return S_OK;
    }
    if (rev == 0) return destroyAllReferences(luid, status);
    return moveRoBackup(luid, status);
}

HRESULT CNotesController::moveRoBackup(const std::u16string& luid, LONG* status) {
    controllerLog().high(u"moveRoBackup() failing, luid " + luid);
    *status = vantrel::kStatusOptionalNotSupported;
    return E_FAIL;
}

HRESULT CNotesController::listenGet(int32_t rev, uint32_t cmdid, std::u16string luid, uint8_t**,
                                    int32_t*, LONG* status) {
    controllerLog().trace(format(u"listenGet() rev=%d, cmdid=%d, luid=%s", rev, cmdid, luid));
    *status = vantrel::kStatusCommandNotImplemented;
    return E_FAIL;
}

}  // namespace vt
