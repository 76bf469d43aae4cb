// Fakes of the outside components for tests: a scripted SyncML engine and a host notification
// object, both counting their references exactly, plus a sandbox that sets up the registry
// and folders a phone needs.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com_raii.h"
#include "tests/support/temp_dir.h"
#include "vantrel/data_store.h"
#include "vantrel/sync_engine.h"

namespace vt::test {

// A byte-array VARIANT holding bytes.
unique_variant bytesVariant(const std::string& bytes);
// The bytes of a byte-array VARIANT ("" for anything else).
std::string variantBytes(const VARIANT& v);

// Counts references like CountingUnknown; never deleted through Release.
class RefCounted {
  public:
    ~RefCounted() { EXPECT_EQ(refs_.load(), 0) << "references leaked"; }
    long refs() const { return refs_.load(); }

  protected:
    ULONG addRef() { return static_cast<ULONG>(++refs_); }
    ULONG release() {
        long n = --refs_;
        if (n < 0) {
            ADD_FAILURE() << "released more often than referenced";
            refs_ = 0;
            return 0;
        }
        return static_cast<ULONG>(n);
    }

  private:
    std::atomic<long> refs_{0};
};

// A SyncML engine whose sessions the test scripts. StartSync records its arguments and runs
// the script (if one is set) on a thread of its own, as a real engine does; without a script
// the test drives the callback itself through callback().
class FakeEngine : public vantrel::ISyncEngine, public RefCounted {
  public:
    struct Item {
        enum Kind { Add, Replace, Delete } kind;
        std::u16string luid;
        std::string data;
        ULONG cmdId;
    };
    using Script = std::function<void(vantrel::ISyncEngineCallback*)>;

    ~FakeEngine();

    // Behaviour.
    HRESULT stateResult = S_OK;
    HRESULT startResult = S_OK;
    HRESULT cancelResult = S_OK;
    bool cancelThrows = false;  // Cancel throws instead of answering
    Script script;              // run on a session thread by StartSync
    // StartSync doesn't wait for the previous session's thread, as an engine may not when the
    // host starts the next session from inside the previous one's final notification.
    bool overlapSessions = false;

    // What happened.
    std::vector<int> slots;  // every slot called, in order
    std::vector<Item> items;
    std::vector<ULONG> withdrawn;
    std::vector<UINT> cancels;
    LONG alert = -1;
    std::u16string lastAnchor, nextAnchor;
    int starts = 0;

    // The callback of the latest session (held by the engine until releaseCallback()).
    vantrel::ISyncEngineCallback* callback() const { return callback_; }
    void releaseCallback();
    // Waits for the session threads of every StartSync so far.
    void join();
    // Plays a phone that takes every item queued since index from: adds are mapped to
    // "p" + local id and answered 201, the rest 200. The first failure, or S_OK.
    HRESULT acknowledge(size_t from, vantrel::ISyncEngineCallback* cb = nullptr);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return note(3, E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return note(4, E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return note(5, E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return note(6, E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE AddItem(BSTR, BSTR luid, BSTR, BSTR, BSTR, VARIANT data,
                                      ULONG* cmdId) override;
    HRESULT STDMETHODCALLTYPE Reserved8() override { return note(8, E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE DeleteItem(BSTR, BSTR luid, LONG, LONG, BSTR, ULONG* cmdId) override;
    HRESULT STDMETHODCALLTYPE WithdrawItem(BSTR, ULONG cmdId) override;
    HRESULT STDMETHODCALLTYPE ReplaceItem(BSTR, BSTR luid, BSTR, BSTR, BSTR, VARIANT data,
                                          ULONG* cmdId) override;
    HRESULT STDMETHODCALLTYPE Reserved12() override { return note(12, E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE StartSync(LONG alertCode, BSTR, BSTR, BSTR last, BSTR next, LONG,
                                        vantrel::ISyncEngineCallback* cb, ULONG* session) override;
    HRESULT STDMETHODCALLTYPE Cancel(UINT id) override;
    HRESULT STDMETHODCALLTYPE Reserved15() override { return note(15, E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE Reserved16() override { return note(16, E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE GetState() override { return note(17, stateResult); }

  private:
    HRESULT note(int slot, HRESULT hr) {
        std::lock_guard<std::mutex> l(m_);
        slots.push_back(slot);
        return hr;
    }
    HRESULT queue(Item::Kind kind, BSTR luid, const VARIANT* data, ULONG* cmdId, int slot);

    std::mutex m_;
    ULONG nextCmd_ = 1;
    vantrel::ISyncEngineCallback* callback_ = nullptr;
    std::thread session_;
    std::vector<std::thread> earlier_;  // overlapping sessions' threads, joined by join()
};

// The host's notification object: records every NotifySyncStatus.
class FakeNotify : public vantrel::IDataStoreNotify, public RefCounted {
  public:
    struct Call {
        UINT id;
        LONG state, result, progress1, progress2, items;
    };
    int delayMs = 0;      // each delivery sleeps this long first
    bool throws = false;  // each delivery throws

    std::vector<Call> calls();
    // Waits until n notifications arrived; false on timeout.
    bool waitFor(size_t n, int timeoutMs = 5000);
    // While held, every delivery waits at its start (before it is recorded) until
    // releaseDeliveries(): a late host without timing.
    void holdDeliveries();
    void releaseDeliveries();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE NotifySyncStatus(UINT id, LONG state, LONG result, LONG p1, LONG p2,
                                               LONG items) override;

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
    bool held_ = false;
};

// A recording engine callback sink: keeps every callback with its arguments and its thread,
// notices callbacks that overlap, and answers the alert and item callbacks through respond
// (by default status 201 for adds, 200 for the rest, and S_OK). Counts its references
// exactly; never deleted through Release. Configure it before the session starts.
class FakeSink : public vantrel::ISyncEngineCallback, public RefCounted {
  public:
    enum Kind {
        Alert,
        Add,
        Delete,
        Replace,
        Copy,
        Get,
        Rollback,
        Status,
        ResultGet,
        Map,
        Reserved,
        Started,
        Paused,
        Resumed,
        Canceled,
        PackageSent,
        PackageGet,
        Failed,
        Finished
    };
    struct Call {
        explicit Call(Kind k) : kind(k) {}
        Kind kind;
        std::thread::id thread;
        ULONG cmdId = 0;         // item command id, or the command id of a status
        LONG code = 0;           // alert code, status code, error code, or first progress value
        LONG code2 = 0;          // second progress value
        std::u16string text;     // LUID, last anchor, or the map's LUID
        std::u16string text2;    // next anchor, or the map's local id
        std::string data;        // item content
        bool byteArray = false;  // content was VT_ARRAY|VT_UI1, one dimension, lower bound 0
        LONG status = 0;         // status answered (alert and items)
        HRESULT result = S_OK;   // HRESULT answered
    };
    // Answers an alert or item callback: sets *status (preset to the default) and returns the
    // HRESULT. Runs on the engine's thread; the call is recorded with its answer.
    std::function<HRESULT(const Call&, LONG* status)> respond;
    // Runs on the engine's thread at every callback, after it was recorded and answered.
    std::function<void(const Call&)> onCall;

    std::vector<Call> calls();
    std::vector<Call> calls(Kind kind);
    std::vector<Kind> kinds();
    // Waits for SyncStatusFinished, SyncStatusCanceled or SyncStatusFailed; false on timeout.
    bool waitForEnd(int timeoutMs = 5000);
    // True when a callback began while another was still running.
    bool overlapped() const { return overlapped_.load(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE ClientCmdAlert(LONG alertCode, LONG, LONG, LONG,
                                             const OLECHAR* lastAnchor, const OLECHAR* nextAnchor,
                                             LONG* pStatus) override;
    HRESULT STDMETHODCALLTYPE ClientCmdAddItem(LONG, ULONG cmdId, LONG, const OLECHAR* luid, LONG,
                                               LONG, LONG, VARIANT content, LONG* pStatus) override;
    HRESULT STDMETHODCALLTYPE ClientCmdDeleteItem(LONG, ULONG cmdId, LONG, const OLECHAR* luid,
                                                  LONG, LONG, LONG, LONG* pStatus) override;
    HRESULT STDMETHODCALLTYPE ClientCmdReplaceItem(LONG, ULONG cmdId, LONG, const OLECHAR* luid,
                                                   LONG, LONG, LONG, VARIANT content,
                                                   LONG* pStatus) override;
    HRESULT STDMETHODCALLTYPE ClientCmdCopyItem(LONG, LONG, LONG, LONG, LONG, LONG, LONG) override;
    HRESULT STDMETHODCALLTYPE ClientCmdGetItem(LONG, ULONG cmdId, LONG, const OLECHAR* luid, LONG,
                                               LONG, VARIANT*, LONG* pStatus) override;
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

  private:
    // Records the call, answers it (status through respond for alert and items) and runs onCall.
    HRESULT handle(Call call, LONG* pStatus, HRESULT fixed);

    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
    std::atomic<int> inside_{0};
    std::atomic<bool> overlapped_{false};
};

// A sandbox for one phone: registry and application data in a fresh folder, "Root" pointing at
// <home>/phones, the phone's folder <home>/phones/<alias>, the language set to English (so the
// notes folder is <home>/phones/<alias>/Notes).
class PhoneSandbox : public SandboxedTest {
  protected:
    PhoneSandbox();
    // Makes the folder of another phone alias.
    void addPhone(const std::u16string& alias);
    std::u16string phoneFolder(const std::u16string& alias) const;
    std::u16string notesFolder(const std::u16string& alias) const;
    std::u16string storeFolder(const std::u16string& imei) const;
    void setLanguage(const std::u16string& quorril);

    const std::u16string alias_ = u"phone";
    const std::u16string imei_ = u"IMEI:350000000000001";
};

}  // namespace vt::test
