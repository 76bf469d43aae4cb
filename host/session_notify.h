// The host's IDataStoreNotify for one session: records the module's notifications (started,
// progress, cancelled, ended), passes each to a listener, and lets the host wait for the end.
//
// Lifetime: a COM object with an atomic reference count; create() hands out the first
// reference and the object deletes itself when the count reaches 0.
//
// Thread-safety: NotifySyncStatus arrives on the module's short-lived threads, several perhaps
// at once and in any order; everything here may be called from any thread. The listener is
// called outside the object's lock, on the notifying thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/com.h"
#include "platform/com_raii.h"
#include "vantrel/data_store.h"

namespace vt::host {

// One notification as the module sent it.
struct SessionEvent {
    UINT clientSyncId = 0;
    LONG state = -1;
    LONG result = 0;
    LONG progress1 = 0;
    LONG progress2 = 0;
    LONG items = 0;
};

class SessionNotify final : public vantrel::IDataStoreNotify {
  public:
    using Listener = std::function<void(const SessionEvent&)>;
    // listener may be empty.
    static com_ptr<SessionNotify> create(Listener listener);

    SessionNotify(const SessionNotify&) = delete;
    SessionNotify& operator=(const SessionNotify&) = delete;

    // Waits until a notification with state 4 (ended) or 2 (cancelled) arrived; false when
    // timeoutMs passed first.
    bool waitForEnd(int timeoutMs);
    bool ended() const;
    // The notification that ended the session (state -1 before).
    SessionEvent endEvent() const;
    // The latest progress values seen (the highest, as notifications may come out of order).
    SessionEvent latest() const;
    int count() const;
    // Progress notifications (state 1): one per package the engine sent or received.
    int packages() const;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE NotifySyncStatus(UINT clientSyncId, LONG state, LONG result,
                                               LONG progress1, LONG progress2, LONG items) override;

  private:
    explicit SessionNotify(Listener listener) : listener_(std::move(listener)) {}
    ~SessionNotify() = default;

    std::atomic<ULONG> refs_{1};
    Listener listener_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    SessionEvent end_;
    SessionEvent latest_;
    bool ended_ = false;
    int count_ = 0;
    int packages_ = 0;
};

}  // namespace vt::host
