// CNotifyConverter: the callback sink of one session. The controller hands it to the engine's
// StartSync; it converts each engine callback's arguments (wide strings, byte-array VARIANTs)
// into the controller's types, calls the controller and returns its HRESULT. Alongside, it
// turns the session's events into IDataStoreNotify notifications for the host, each delivered
// on a short-lived thread of its own; the final (state 4) one is awaited for at most 10 s.
// Finished delivery threads are joined by the next delivery, pendingDeliveries() and
// waitForDeliveries().
//
// Lifetime: created with one reference, which the controller holds; the engine may add its
// own. The controller detaches the sink before dropping its reference, so a sink that outlives
// its session never calls into the controller again. Delivery jobs hold their own reference
// to the host's object and their own share of the completion event, so a late delivery never
// touches freed memory.
//
// Threads: callbacks may arrive on any thread; the sink's lock serialises them and keeps
// detach() from racing a callback in flight. The sink calls the controller with its lock held
// and is never called by the controller with the controller's state lock held (see
// notes_controller.h for the lock order). The reference count is interlocked.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/com.h"
#include "platform/com_raii.h"
#include "vantrel/data_store.h"
#include "vantrel/sync_engine.h"

namespace vt {

class CNotesController;
class SyncEvent;

class CNotifyConverter : public vantrel::ISyncEngineCallback {
  public:
    // pNotify may be null; the sink queries it for IDataStoreNotify and keeps that reference.
    CNotifyConverter(CNotesController* controller, IUnknown* pNotify, uint32_t clientSyncId);
    virtual ~CNotifyConverter();
    CNotifyConverter(const CNotifyConverter&) = delete;
    CNotifyConverter& operator=(const CNotifyConverter&) = delete;

    // Cuts the tie to the controller: later callbacks answer E_UNEXPECTED and the destructor
    // leaves the controller alone. Waits for a callback in flight. A session that has ended
    // but whose final notification is still awaited is settled at once: the host reference is
    // released, the controller's waiters are released, and the engine's thread stops waiting.
    void detach();

    // How long the final notification of a session is awaited (10000 ms; tests shorten it).
    static void setFinalNotifyWaitMs(int ms);

    // Delivery threads not yet ended, in the whole process. Joins those that have finished
    // their delivery first, so 0 means no delivery thread runs any of the module's code.
    static int pendingDeliveries();
    // Waits until no delivery thread runs (and joins them); false on timeout.
    static bool waitForDeliveries(int timeoutMs);
    // Frees the delivery bookkeeping (the module's unload); the next delivery makes it again.
    // Joins nothing: does nothing and answers false while a delivery thread is not yet joined.
    // No delivery may start meanwhile.
    static bool releaseDeliveries();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ISyncEngineCallback
    HRESULT STDMETHODCALLTYPE ClientCmdAlert(LONG alertCode, LONG, LONG, LONG,
                                             const OLECHAR* lastAnchor, const OLECHAR* nextAnchor,
                                             LONG* pStatus) override;
    HRESULT STDMETHODCALLTYPE ClientCmdAddItem(LONG reversible, ULONG cmdId, LONG,
                                               const OLECHAR* luid, LONG, LONG, LONG,
                                               VARIANT content, LONG* pStatus) override;
    HRESULT STDMETHODCALLTYPE ClientCmdDeleteItem(LONG reversible, ULONG cmdId, LONG,
                                                  const OLECHAR* luid, LONG, LONG, LONG,
                                                  LONG* pStatus) override;
    HRESULT STDMETHODCALLTYPE ClientCmdReplaceItem(LONG reversible, ULONG cmdId, LONG,
                                                   const OLECHAR* luid, LONG, LONG, LONG,
                                                   VARIANT content, LONG* pStatus) override;
    HRESULT STDMETHODCALLTYPE ClientCmdCopyItem(LONG, LONG, LONG, LONG, LONG, LONG, LONG) override;
    HRESULT STDMETHODCALLTYPE ClientCmdGetItem(LONG reversible, ULONG cmdId, LONG,
                                               const OLECHAR* luid, LONG, LONG, VARIANT* pContent,
                                               LONG* pStatus) override;
    HRESULT STDMETHODCALLTYPE ClientCmdRollbackItem(LONG, LONG) override;
    HRESULT STDMETHODCALLTYPE ClientCmdStatus(ULONG cmdId, ULONG status) override;
    HRESULT STDMETHODCALLTYPE ClientResultGet(LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG,
                                              LONG) override;
    HRESULT STDMETHODCALLTYPE ClientMapItemAdded(LONG, const OLECHAR* luid,
                                                 const OLECHAR* localLuid) override;
    HRESULT STDMETHODCALLTYPE ClientReserved1() override;
    HRESULT STDMETHODCALLTYPE ClientReserved2() override;
    HRESULT STDMETHODCALLTYPE SyncStatusStarted() override;
    HRESULT STDMETHODCALLTYPE SyncStatusPaused() override;
    HRESULT STDMETHODCALLTYPE SyncStatusResumed() override;
    HRESULT STDMETHODCALLTYPE SyncStatusCanceled() override;
    HRESULT STDMETHODCALLTYPE SyncStatusPackageSent(LONG, LONG progress1, LONG progress2) override;
    HRESULT STDMETHODCALLTYPE SyncStatusPackageGet(LONG) override;
    HRESULT STDMETHODCALLTYPE SyncStatusFailed(LONG errorCode) override;
    HRESULT STDMETHODCALLTYPE SyncStatusFinished() override;

    LONG itemCount() const { return m_itemCount; }

    // The name of the debug copy of an added item: "dbgDatFile" + the LUID, made a plain
    // file name (characters a file name can't hold become '_').
    static std::u16string debugFileName(const std::u16string& luid);

  private:
    // A notification that nobody waits for.
    void sendDataStoreNotify(LONG code, LONG state);
    std::shared_ptr<SyncEvent> startDelivery(LONG code, LONG state, bool wait);
    void releaseHostAndController();
    // The awaited state-4 notification; the wait runs without the lock, so detach() is not
    // held up by a slow host (nor by a host that starts the next session from inside the
    // notification). Then the controller drops this session's notification object and
    // releases its waiters.
    void endSession(std::unique_lock<std::recursive_mutex>& lock, LONG code);
    void countItem(HRESULT r) {
        if (SUCCEEDED(r)) ++m_itemCount;
    }
    void writeDebugCopy(const std::u16string& luid, const uint8_t* data, uint32_t size);

    std::recursive_mutex m_lock;
    CNotesController* m_pController;
    com_ptr<vantrel::IDataStoreNotify> m_pDSNotify;
    LONG m_progress1 = 0;
    LONG m_progress2 = 0;
    LONG m_itemCount = 0;
    uint32_t m_clientSyncId;
    uint64_t m_notifyGeneration = 0;  // the controller's, when this sink was made
    // Set while endSession awaits the final notification; detach() sets it to end the wait.
    std::shared_ptr<SyncEvent> m_finalDelivered;
    std::atomic<ULONG> m_ref{1};
};

}  // namespace vt
