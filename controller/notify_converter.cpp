#include "controller/notify_converter.h"

#include <condition_variable>
#include <iterator>
#include <list>
#include <thread>

#include "controller/notes_controller.h"
#include "platform/com_raii.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "util/byte_array_variant.h"
#include "util/com_barrier.h"
#include "util/lazy_instance.h"
#include "util/logger.h"
#include "util/module_lock.h"
#include "util/sync.h"

namespace vt {

namespace {

const LogChannel& channel() {
    static const LogChannel log(u"NotesSml :: CNotifyConverter");
    return log;
}

std::atomic<int> g_finalNotifyWaitMs{10000};

// One delivery thread. It is joined once it has finished, so that no thread still runs the
// module's code (its return path included) when the module is unloaded.
struct Worker {
    std::thread thread;
    bool finished = false;
};

// The delivery threads of the process, so that the module is not unloaded under them.
struct Deliveries {
    std::mutex m;
    std::condition_variable cv;
    int running = 0;            // deliveries not yet finished, threads or not
    std::list<Worker> workers;  // threads not yet joined
};

// Freed by CNotifyConverter::releaseDeliveries(); no destructor runs at exit, when a delivery
// thread may still be ending.
LazyInstance<Deliveries> g_deliveries;

Deliveries& deliveries() {
    return g_deliveries.get();
}

// Joins the threads that have finished their delivery (never the calling thread). Each has
// only its return path left, so the joins are short.
void joinFinished(Deliveries& d) {
    std::list<Worker> done;
    {
        std::lock_guard<std::mutex> l(d.m);
        for (auto it = d.workers.begin(); it != d.workers.end();) {
            auto next = std::next(it);
            if (it->finished && it->thread.get_id() != std::this_thread::get_id())
                done.splice(done.end(), d.workers, it);
            it = next;
        }
    }
    for (Worker& w : done)
        if (w.thread.joinable()) w.thread.join();
}

// What a delivery thread needs; it owns its host reference and its share of the event.
struct NotifyJob {
    LONG code;
    uint32_t clientSyncId;
    LONG state;
    LONG progress1;
    LONG progress2;
    LONG itemCount;
    std::shared_ptr<SyncEvent> done;
    com_ptr<vantrel::IDataStoreNotify> notify;
    Worker* worker;  // null when delivered on the caller's thread
};

void SendThread(std::unique_ptr<NotifyJob> job) {
    channel().trace(u"SendThread");
    if (job->notify) {
        try {
            job->notify->NotifySyncStatus(job->clientSyncId, job->state, job->code, job->progress1,
                                          job->progress2, job->itemCount);
        } catch (...) {
            channel().trace(u"SendThread :: NotifySyncStatus catched");
        }
        release_shielded(job->notify);
    }
    if (job->done) job->done->set();
    Worker* worker = job->worker;
    job.reset();
    Deliveries& d = deliveries();
    std::lock_guard<std::mutex> l(d.m);
    if (worker) worker->finished = true;
    if (--d.running == 0) d.cv.notify_all();
}

std::u16string luidText(const OLECHAR* s) {
    return fromOleStr(s);
}

}  // namespace

CNotifyConverter::CNotifyConverter(CNotesController* controller, IUnknown* pNotify,
                                   uint32_t clientSyncId)
    : m_pController(controller), m_clientSyncId(clientSyncId) {
    // The engine may hold the sink beyond the component object: the module stays loaded.
    module_lock::lock();
    if (pNotify) {
        try {
            if (FAILED(
                    pNotify->QueryInterface(vantrel::IID_IDataStoreNotify, m_pDSNotify.put_void())))
                (void)m_pDSNotify.detach();
        } catch (...) {
            channel().trace(u"CNotifyConverter :: notify->QueryInterface thrown");
            (void)m_pDSNotify.detach();
        }
    }
    if (m_pDSNotify) channel().trace(u"DataStoreNotify created");
    if (m_pController) m_notifyGeneration = m_pController->notifyGeneration();
    channel().trace(u"CNotifyConverter()");
}

CNotifyConverter::~CNotifyConverter() {
    if (m_pController) m_pController->setNotify(nullptr);
    m_pController = nullptr;
    release_shielded(m_pDSNotify);
    m_progress1 = m_progress2 = m_itemCount = 0;
    module_lock::unlock();
}

void CNotifyConverter::detach() {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    if (m_pController && m_finalDelivered) {
        releaseHostAndController();
        m_finalDelivered->set();
    }
    m_pController = nullptr;
}

void CNotifyConverter::setFinalNotifyWaitMs(int ms) {
    g_finalNotifyWaitMs = ms;
}

int CNotifyConverter::pendingDeliveries() {
    Deliveries* d = g_deliveries.peek();
    if (!d) return 0;
    joinFinished(*d);
    std::lock_guard<std::mutex> l(d->m);
    int finishedUnjoined = 0;  // only the calling thread's own, when it is a delivery thread
    for (const Worker& w : d->workers)
        if (w.finished) ++finishedUnjoined;
    return d->running + finishedUnjoined;
}

bool CNotifyConverter::waitForDeliveries(int timeoutMs) {
    Deliveries& d = deliveries();
    {
        std::unique_lock<std::mutex> l(d.m);
        if (!d.cv.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return d.running == 0; }))
            return false;
    }
    joinFinished(d);
    return true;
}

bool CNotifyConverter::releaseDeliveries() {
    return g_deliveries.release([](Deliveries& d) {
        std::lock_guard<std::mutex> l(d.m);
        return d.running == 0 && d.workers.empty();
    });
}

HRESULT CNotifyConverter::QueryInterface(REFIID riid, void** ppv) {
    channel().trace(u"QueryInterface");
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, vantrel::IID_ISyncEngineCallback)) {
        *ppv = static_cast<vantrel::ISyncEngineCallback*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CNotifyConverter::AddRef() {
    return ++m_ref;
}

ULONG CNotifyConverter::Release() {
    const ULONG n = --m_ref;
    if (n == 0) delete this;
    return n;
}

std::u16string CNotifyConverter::debugFileName(const std::u16string& luid) {
    std::u16string name = u"dbgDatFile";  // the name the debug copies have always had
    for (char16_t c : luid) name += plat::isFileNameChar(c) ? c : u'_';
    // The prefix rules out devices and the empty name; a trailing dot or blank is left.
    if (!plat::isPlainFileName(name)) name += u'_';
    return name;
}

void CNotifyConverter::writeDebugCopy(const std::u16string& luid, const uint8_t* data,
                                      uint32_t size) {
    plat::File f;
    if (!f.tryOpen(debugFileName(luid), plat::Access::Write, plat::Disposition::CreateAlways,
                   plat::Share::DenyNone))
        return;
    try {
        if (data && size) f.writeAt(0, data, size);
        f.close();
    } catch (const plat::FileException&) {
    }
}

HRESULT CNotifyConverter::ClientCmdAlert(LONG alertCode, LONG, LONG, LONG,
                                         const OLECHAR* lastAnchor, const OLECHAR* nextAnchor,
                                         LONG* pStatus) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"ClientCmdAlert");
        if (!m_pController) return E_UNEXPECTED;
        LONG status = vantrel::kStatusOk;
        HRESULT r = m_pController->clientCmdAlert(alertCode, luidText(lastAnchor),
                                                  luidText(nextAnchor), &status);
        if (pStatus) *pStatus = status;
        return r;
    });
}

HRESULT CNotifyConverter::ClientCmdAddItem(LONG reversible, ULONG cmdId, LONG, const OLECHAR* luid,
                                           LONG, LONG, LONG, VARIANT content, LONG* pStatus) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"ClientCmdAddItem");
        if (!pStatus) return E_POINTER;
        if (!m_pController) return E_UNEXPECTED;
        const std::u16string id = luidText(luid);
        uint32_t size = 0;
        unique_cotaskmem_ptr<uint8_t> buffer(ByteArrayVariant().toBytes(content, &size));
        if (!buffer) size = 0;
        channel().trace(format(u"ClientCmdAddItem size(%d)", size));
        writeDebugCopy(id, buffer.get(), size);
        HRESULT r;
        if (buffer && size > 0) {
            r = m_pController->listenAdd(reversible, cmdId, id, buffer.get(),
                                         static_cast<int32_t>(size), pStatus);
        } else {
            r = E_FAIL;
        }
        countItem(r);
        channel().trace(format(u"ClientCmdAddItem() returning 0x%X", r));
        return r;
    });
}

HRESULT CNotifyConverter::ClientCmdDeleteItem(LONG reversible, ULONG cmdId, LONG,
                                              const OLECHAR* luid, LONG, LONG, LONG,
                                              LONG* pStatus) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"ClientCmdDeleteItem");
        if (!pStatus) return E_POINTER;
        if (!m_pController) return E_UNEXPECTED;
        HRESULT r = m_pController->listenDel(reversible, cmdId, luidText(luid), pStatus);
        countItem(r);
        return r;
    });
}

HRESULT CNotifyConverter::ClientCmdReplaceItem(LONG reversible, ULONG cmdId, LONG,
                                               const OLECHAR* luid, LONG, LONG, LONG,
                                               VARIANT content, LONG* pStatus) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"ClientCmdReplaceItem");
        if (!pStatus) return E_POINTER;
        if (!m_pController) return E_UNEXPECTED;
        uint32_t size = 0;
        unique_cotaskmem_ptr<uint8_t> buffer(ByteArrayVariant().toBytes(content, &size));
        HRESULT r;
        if (!buffer || size < 1) {
            channel().critic(u"ClientCmdReplaceItem() no data");
            *pStatus = vantrel::kStatusBadRequest;
            r = E_FAIL;
        } else {
            r = m_pController->listenRep(reversible, cmdId, luidText(luid), buffer.get(),
                                         static_cast<int32_t>(size), pStatus);
            countItem(r);
        }
        return r;
    });
}

HRESULT CNotifyConverter::ClientCmdCopyItem(LONG, LONG, LONG, LONG, LONG, LONG, LONG) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        channel().trace(u"ClientCmdCopyItem");
        return E_NOTIMPL;
    });
}

HRESULT CNotifyConverter::ClientCmdGetItem(LONG reversible, ULONG cmdId, LONG, const OLECHAR* luid,
                                           LONG, LONG, VARIANT* pContent, LONG* pStatus) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"ClientCmdGetItem");
        if (!pStatus) return E_POINTER;
        if (!m_pController) return E_UNEXPECTED;
        unique_cotaskmem_ptr<uint8_t> data;
        int32_t length = 0;
        HRESULT r = m_pController->listenGet(reversible, cmdId, luidText(luid), data.put(), &length,
                                             pStatus);
        if (length >= 1 && data) {
            if (!pContent ||
                !ByteArrayVariant().fromBytes(data.get(), static_cast<uint32_t>(length), pContent))
                channel().high(u"ClientCmdGetItem() conversion error");
        }
        countItem(r);
        return r;
    });
}

HRESULT CNotifyConverter::ClientCmdRollbackItem(LONG, LONG) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        channel().trace(u"ClientCmdRollbackItem");
        return E_NOTIMPL;
    });
}

HRESULT CNotifyConverter::ClientCmdStatus(ULONG cmdId, ULONG status) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"ClientCmdStatus");
        if (!m_pController) return E_UNEXPECTED;
        HRESULT r = m_pController->clientCmdStatus(cmdId, status);
        channel().trace(format(u"ClientCmdStatus() returning 0x%X", r));
        return r;
    });
}

HRESULT CNotifyConverter::ClientResultGet(LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        channel().trace(u"ClientResultGet");
        return E_NOTIMPL;
    });
}

HRESULT CNotifyConverter::ClientMapItemAdded(LONG, const OLECHAR* luid, const OLECHAR* localLuid) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"ClientMapItemAdded");
        if (!m_pController) return E_UNEXPECTED;
        HRESULT r = m_pController->clientMapItemAdded(luidText(luid), luidText(localLuid));
        channel().trace(format(u"ClientMapItemAdded() returning 0x%X", r));
        return r;
    });
}

HRESULT CNotifyConverter::ClientReserved1() {
    return E_NOTIMPL;
}
HRESULT CNotifyConverter::ClientReserved2() {
    return E_NOTIMPL;
}

HRESULT CNotifyConverter::SyncStatusStarted() {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::unique_lock<std::recursive_mutex> l(m_lock);
        channel().trace(u"SyncStatusStarted()");
        HRESULT r = m_pController ? m_pController->syncStatusStarted() : E_UNEXPECTED;
        sendDataStoreNotify(r, vantrel::kSyncStateStarted);
        channel().trace(format(u"SyncStatusStarted() returning 0x%X", r));
        return r;
    });
}

HRESULT CNotifyConverter::SyncStatusPaused() {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        channel().trace(u"SyncStatusPaused()");
        return E_NOTIMPL;
    });
}

HRESULT CNotifyConverter::SyncStatusResumed() {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"SyncStatusResumed()");
        sendDataStoreNotify(0, vantrel::kSyncStateProgress);
        return E_NOTIMPL;
    });
}

HRESULT CNotifyConverter::SyncStatusCanceled() {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"SyncStatusCanceled()");
        HRESULT r = m_pController ? m_pController->syncStatusCanceled() : E_UNEXPECTED;
        sendDataStoreNotify(0, vantrel::kSyncStateCanceled);
        channel().trace(format(u"syncStatusCanceled() returning 0x%X", r));
        return r;
    });
}

HRESULT CNotifyConverter::SyncStatusPackageSent(LONG, LONG progress1, LONG progress2) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"SyncStatusPackageSent()");
        m_progress1 = progress1;
        m_progress2 = progress2;
        sendDataStoreNotify(0, vantrel::kSyncStateProgress);
        return S_OK;
    });
}

HRESULT CNotifyConverter::SyncStatusPackageGet(LONG) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> l(m_lock);
        channel().trace(u"SyncStatusPackageGet()");
        sendDataStoreNotify(0, vantrel::kSyncStateProgress);
        return S_OK;
    });
}

HRESULT CNotifyConverter::SyncStatusFailed(LONG errorCode) {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::unique_lock<std::recursive_mutex> l(m_lock);
        channel().trace(u"SyncStatusFailed()");
        HRESULT r =
            m_pController ? m_pController->syncStatusFailed(errorCode, false) : E_UNEXPECTED;
        endSession(l, errorCode);
        channel().trace(format(u"syncStatusFailed() returning 0x%X", r));
        return r;
    });
}

HRESULT CNotifyConverter::SyncStatusFinished() {
    return comBarrier(E_FAIL, [&]() -> HRESULT {
        std::unique_lock<std::recursive_mutex> l(m_lock);
        channel().trace(u"SyncStatusFinished()");
        HRESULT r = m_pController ? m_pController->syncStatusFinished(false) : E_UNEXPECTED;
        endSession(l, 0);
        channel().trace(format(u"syncStatusFinished() returning 0x%X", r));
        return r;
    });
}

void CNotifyConverter::releaseHostAndController() {
    if (!release_shielded(m_pDSNotify)) channel().trace(u"m_pDSNotify->Release() thrown");
    if (m_pController) {
        m_pController->dropNotifyOf(m_notifyGeneration);
        m_pController->signalSessionEnd();
    }
}

void CNotifyConverter::endSession(std::unique_lock<std::recursive_mutex>& lock, LONG code) {
    std::shared_ptr<SyncEvent> done = startDelivery(code, vantrel::kSyncStateEnded, true);
    m_finalDelivered = done;
    lock.unlock();
    done->wait(std::chrono::milliseconds(g_finalNotifyWaitMs.load()));
    lock.lock();
    m_finalDelivered.reset();
    releaseHostAndController();
}

void CNotifyConverter::sendDataStoreNotify(LONG code, LONG state) {
    startDelivery(code, state, false);
}

std::shared_ptr<SyncEvent> CNotifyConverter::startDelivery(LONG code, LONG state, bool wait) {
    channel().trace(u"sendDataStoreNotify");
    std::shared_ptr<SyncEvent> done;
    if (wait) done = std::make_shared<SyncEvent>(false, false);
    auto job =
        std::make_unique<NotifyJob>(NotifyJob{code, m_clientSyncId, state, m_progress1, m_progress2,
                                              m_itemCount, done, m_pDSNotify, nullptr});
    Deliveries& d = deliveries();
    joinFinished(d);
    {
        // The new thread waits for this lock before it marks itself finished, so its Worker is
        // complete by then.
        std::lock_guard<std::mutex> l(d.m);
        ++d.running;
        auto worker = d.workers.emplace(d.workers.end());
        job->worker = &*worker;
        try {
            // The thread owns the job once it runs; until then this function does.
            worker->thread = std::thread(
                [handed = job.get()] { SendThread(std::unique_ptr<NotifyJob>(handed)); });
            (void)job.release();
        } catch (const std::system_error&) {
            d.workers.erase(worker);
            job->worker = nullptr;
        }
    }
    // No thread to be had: deliver on this one rather than lose the notification.
    if (job) SendThread(std::move(job));
    return done;
}

}  // namespace vt
