// CNotesController keeps one phone's notes folder in step with the phone. It is the SyncML
// engine's local data store: at a session's start it hands the PC's changes to the engine, and
// during the session it applies the phone's item commands, statuses and maps.
//
// Per phone it keeps the notes folder (one *.txt file per note), the NotesDB record store (the
// bytes last exchanged for every note, keyed by file name) and "properties.dat" (the mapping
// between file names and the phone's LUIDs, file times, two counters).
//
// Threads: the host's thread calls the session operations; the engine's thread delivers the
// callbacks. One state lock (m_stateLock) serialises everything that reads or writes the
// mapping, the journal, NotesDB's use and the job queue, whichever thread it runs on; it is
// never held across a call into the engine or a wait. One session runs at a time: synchronize
// refuses while the previous session has not ended. Lock order (outermost first): the
// registry's lock, a sink's lock, m_stateLock, m_notifyLock. So nothing that holds
// m_stateLock may detach a sink; synchronize and the destructor detach the old sink first.
//
// The implementation is split by concern: controller_state.cpp (construction, properties,
// local ids), sync_start.cpp (session start and local scan), last_sync.cpp ("folder.xml"),
// incoming_items.cpp (the phone's commands), statuses.cpp (statuses, maps, session end) and
// export_import.cpp (bulk operations).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "controller/controller_interface.h"
#include "controller/sent_jobs.h"
#include "platform/com.h"
#include "platform/com_raii.h"
#include "platform/file.h"
#include "platform/find.h"
#include "storage/property_set.h"
#include "storage/storage.h"
#include "util/sync.h"
#include "vantrel/data_store.h"
#include "vantrel/sync_engine.h"
#include "vantrel/syncml_status.h"

namespace vt {

class CNotifyConverter;

// synchronize() while the previous session with the phone has not ended (ERROR_BUSY).
inline constexpr HRESULT kHrSessionRunning = static_cast<HRESULT>(0x800700AA);

class CNotesController : public INotesController {
  public:
    // Builds the folders, the record store and the properties of the phone with this IMEI key.
    // Throws TextError with the failure text. pEngine is borrowed, not AddRef'd.
    CNotesController(const std::u16string& imei, const std::u16string& alias, uint32_t clientSyncId,
                     vantrel::ISyncEngine* pEngine);
    ~CNotesController() override;
    CNotesController(const CNotesController&) = delete;
    CNotesController& operator=(const CNotesController&) = delete;

    // ---- The controller interface ----
    HRESULT synchronize() override;
    HRESULT reservedOperation() override;
    HRESULT getDataStoreInfo() override;
    HRESULT datafileIn(const uint8_t* data, int32_t length,
                       const std::u16string& itemName) override;
    HRESULT datafilesOut(const std::u16string& targetFolder) override;
    HRESULT exportFromDevice() override;
    HRESULT importToDevice(bool append, bool itemOverwrite) override;

    // ---- Called by the registry and the callback sink ----
    // Takes the host's notification object for the next session (null drops it).
    HRESULT setNotify(IUnknown* pNotify);
    // The number of setNotify calls so far; a sink remembers it to drop only its own session's
    // notification object with dropNotifyOf.
    uint64_t notifyGeneration();
    // setNotify(nullptr), unless the host handed over another object since generation.
    void dropNotifyOf(uint64_t generation);
    // Releases whoever waits for the session's end (export, import).
    void signalSessionEnd();
    HRESULT clientCmdAlert(int32_t alertCode, const std::u16string& lastAnchor,
                           const std::u16string& nextAnchor, LONG* status);
    HRESULT listenAdd(int32_t rev, uint32_t cmdid, std::u16string luid, const uint8_t* data,
                      int32_t length, LONG* status);
    HRESULT listenDel(int32_t rev, uint32_t cmdid, std::u16string luid, LONG* status);
    HRESULT listenRep(int32_t rev, uint32_t cmdid, std::u16string luid, const uint8_t* data,
                      int32_t length, LONG* status);
    HRESULT listenGet(int32_t rev, uint32_t cmdid, std::u16string luid, uint8_t** data,
                      int32_t* length, LONG* status);
    HRESULT clientCmdStatus(uint32_t cmdId, uint32_t status);
    HRESULT clientMapItemAdded(const std::u16string& luid, const std::u16string& localLuid);
    HRESULT syncStatusStarted();
    HRESULT syncStatusCanceled();
    // signalEnd false leaves the end-of-session event to signalSessionEnd, which the sink calls
    // once the host has been told.
    HRESULT syncStatusFailed(int32_t errorCode, bool signalEnd = true);
    HRESULT syncStatusFinished(bool signalEnd = true);

    // ---- State, exposed for the front end and for tests ----
    const std::u16string& notesFolder() const { return m_notesFolder; }
    const std::u16string& propertyFilename() const { return m_propertyFilename; }
    int32_t lastSyncNum() const { return m_lastSyncNum; }
    int32_t nextLocalLuid() const { return m_nextLocalLuid; }
    bool slowSync() const { return m_bSlowSync; }
    const SentJobQueue& sentJobs() const { return m_sentjobs; }
    CPropertySet* properties() const { return m_pProperties.get(); }
    CStorage& notesDB() { return m_notesDB; }
    SyncEvent& syncDone() { return m_hSyncDone; }

    // Makes folder (hidden and system when hide is set) and copies the template beside the host
    // program into "folder.xml" when that is missing. E_FAIL, 1 (created or copied) or 0.
    int32_t prepareNotesFolder(const std::u16string& folder, const std::u16string& templateName,
                               bool hide);
    bool loadProperties();
    bool unloadProperties();

    // The note file name for a phone LUID: unsafe characters become blanks, then base.txt,
    // base(2).txt, ... whichever is free in the notes folder and in secondFolder.
    std::u16string resolveFileName(const std::u16string& luid,
                                   const std::optional<std::u16string>& secondFolder);

  private:
    friend class ControllerTestAccess;

    // Cuts the current sink loose (it never calls back again) and drops its reference. Takes
    // no lock of ours: a callback in flight holds the sink's lock and waits for our state lock.
    void releaseSink();
    // Holds m_stateLock for the scope (see the threads note at the top).
    [[nodiscard]] std::unique_lock<std::recursive_mutex> lockState() {
        return std::unique_lock<std::recursive_mutex>(m_stateLock);
    }

    // sync_start.cpp
    // Starts a session (synchronize's work). waited: somebody will wait for the session's
    // end on m_hSyncDone (export, import); the event is reset once the session is claimed.
    HRESULT startSession(bool waited);
    // Takes back from the engine every job queued since the queue held count jobs.
    void withdrawJobsSince(size_t count);
    // A session that won't run after all: it no longer counts as running, and a waiter is
    // released with a failure.
    void abandonSession(bool waited);

    // controller_state.cpp
    // Repairs what a crash between the writes of the property file and the index can leave:
    // records without properties and properties without records (see docs/crash-safety.md).
    void reconcileStoreAndProperties();
    std::u16string allocateLocalLuid();
    // Every change of a property goes through these two, which also append it to the journal
    // beside the property file, so that a crash before the next save loses no mapping.
    void putProperty(const std::u16string& key, const CPropertyValue& value);
    void dropProperty(const std::u16string& key);
    void appendToJournal(const std::u16string& entry);
    void replayJournal();
    void clearJournal();
    void setNumber(const std::u16string& key, int32_t value);
    void setText(const std::u16string& key, const std::u16string& value);
    void setTime(const std::u16string& key, int64_t value);
    void setTrue(const std::u16string& key);

    // sync_start.cpp
    HRESULT addLocalChanges();
    // The notes in the notes folder; 0, or the OS error when the folder can't be listed.
    int getLocalTextFileNames(std::vector<plat::FindEntry>& names);
    // The file's bytes (null on failure, logged), its size and last-write time, and var
    // filled with a byte-array copy for the engine.
    NoteBytes readDiskFileAndSetVar(const std::u16string& path, uint32_t& size, int64_t& time,
                                    VARIANT* var);
    NoteBytes readNoteToSend(const char16_t* op, const std::u16string& fileName, uint32_t& size,
                             int64_t& time, VARIANT* var);
    // Hands a note to the engine as an add (id: the new local id) or a replace (id: its LUID)
    // and queues the job, which takes over buffer.
    HRESULT sendNote(int32_t opType, const std::u16string& fileName, const std::u16string& id,
                     NoteBytes buffer, uint32_t size, int64_t time, unique_variant& var);
    HRESULT putAddFile(const std::u16string& fileName);
    HRESULT putModFile(const std::u16string& fileName);
    HRESULT putDelFile(const std::u16string& fileName);

    // last_sync.cpp
    void setLastSyncTime();

    // incoming_items.cpp
    bool writeFile(const std::u16string& folder, const std::u16string& fileName,
                   const uint8_t* data, int32_t length);
    HRESULT do_merge(const std::u16string& luid, const uint8_t* data, int32_t length, LONG* status);
    HRESULT moveRoBackup(const std::u16string& luid, LONG* status);
    bool fileExists(const std::u16string& path);
    std::optional<std::u16string> findFileOfLuid(const std::u16string& luid);

    // statuses.cpp
    int32_t storeJobData(SentJob& job);
    HRESULT commitAddFile(SentJob& job, uint32_t status);
    HRESULT commitDelFile(SentJob& job, uint32_t status);
    HRESULT commitModFile(SentJob& job, uint32_t status);
    // Removes every trace of the note with this LUID, found through the mapping. pcDelete:
    // the PC's acknowledged delete of it; its file is then not removed (the PC removed it
    // before the session, so a file of that name is a new note).
    HRESULT destroyAllReferences(const std::u16string& luid, LONG* status,
                                 const SentJob* pcDelete = nullptr);
    void endSession(bool finished, bool signalEnd);

    // export_import.cpp
    std::u16string importDataFolder(bool& failed, bool fresh);
    bool getListOfCurrentTextFiles(std::vector<std::u16string>& list);
    bool copyFilesFromImportDir(std::vector<std::u16string>& copied);
    bool mergeFilesFromImportDir(std::vector<std::u16string>& copied,
                                 const std::map<std::u16string, std::u16string>& nameMap);
    bool deleteFilesByList(const std::vector<std::u16string>& list);
    bool deleteDirectoryRecursively(const std::u16string& folder);
    std::u16string makeUniquePath(const std::u16string& folder, const std::u16string& fileName,
                                  const std::u16string& fileTitle);
    void cleanUpAfterImport();
    // Waits for the session started just before; S_OK only when it finished.
    HRESULT waitForSessionEnd();

    std::u16string m_notesFolder;
    std::u16string m_propertyFilename;
    std::u16string m_alias;
    uint32_t m_uiClientSyncID = 0;
    int32_t m_lastSyncNum = -1;
    vantrel::ISyncEngine* m_pEngine = nullptr;
    com_ptr<vantrel::IDataStoreNotify> m_pDataStoreNotify;
    std::recursive_mutex m_notifyLock;  // m_pDataStoreNotify is set by the host's thread and
                                        // dropped by the engine's
    uint64_t m_notifyGeneration = 0;
    ULONG m_sessionValue = 0;
    int32_t m_nextLocalLuid = 1;
    SentJobQueue m_sentjobs;
    bool m_bSlowSync = false;
    std::atomic<bool> m_bImportNoAppend{false};
    // From the claim of a session in synchronize to its end (finished, failed, cancelled).
    std::atomic<bool> m_sessionRunning{false};
    std::recursive_mutex m_stateLock;
    com_ptr<CNotifyConverter> m_pNotifyConverter;
    std::unique_ptr<CPropertySet> m_pProperties;
    std::unique_ptr<std::map<std::u16string, std::u16string>> m_pImportFilenameMap;
    // The anchor number in the import folder's name, fixed when collecting starts so that a
    // session run between collecting and importing can't send the import to another folder.
    std::optional<int32_t> m_importSyncNum;
    CStorage m_notesDB;
    SyncEvent m_hSyncDone{true};
    // Groups the journal entries of one operation into one write, so that a crash keeps or
    // loses an operation's property changes together.
    class JournalBatch {
      public:
        explicit JournalBatch(CNotesController& c) : c_(c) { ++c_.m_journalDepth; }
        ~JournalBatch() {
            if (--c_.m_journalDepth == 0) c_.flushJournal();
        }
        JournalBatch(const JournalBatch&) = delete;
        JournalBatch& operator=(const JournalBatch&) = delete;

      private:
        CNotesController& c_;
    };
    void flushJournal();

    std::unique_ptr<plat::File> m_journal;
    uint64_t m_journalSize = 0;
    int m_journalDepth = 0;
    std::u16string m_journalPending;
    // How the last waited-for session ended: true when syncStatusFinished closed it.
    bool m_sessionFinished = true;
};

}  // namespace vt
