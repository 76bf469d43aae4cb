#include "host/session_notify.h"

#include <algorithm>
#include <chrono>

namespace vt::host {

com_ptr<SessionNotify> SessionNotify::create(Listener listener) {
    com_ptr<SessionNotify> p;
    p.attach(new SessionNotify(std::move(listener)));
    return p;
}

bool SessionNotify::waitForEnd(int timeoutMs) {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [this] { return ended_; });
}

bool SessionNotify::ended() const {
    std::lock_guard<std::mutex> l(m_);
    return ended_;
}

SessionEvent SessionNotify::endEvent() const {
    std::lock_guard<std::mutex> l(m_);
    return end_;
}

SessionEvent SessionNotify::latest() const {
    std::lock_guard<std::mutex> l(m_);
    return latest_;
}

int SessionNotify::packages() const {
    std::lock_guard<std::mutex> l(m_);
    return packages_;
}

int SessionNotify::count() const {
    std::lock_guard<std::mutex> l(m_);
    return count_;
}

HRESULT SessionNotify::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, vantrel::IID_IDataStoreNotify))
        return E_NOINTERFACE;
    *ppv = static_cast<vantrel::IDataStoreNotify*>(this);
    AddRef();
    return S_OK;
}

ULONG SessionNotify::AddRef() {
    return ++refs_;
}

ULONG SessionNotify::Release() {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT SessionNotify::NotifySyncStatus(UINT clientSyncId, LONG state, LONG result, LONG progress1,
                                        LONG progress2, LONG items) {
    const SessionEvent e{clientSyncId, state, result, progress1, progress2, items};
    {
        std::lock_guard<std::mutex> l(m_);
        ++count_;
        if (state == vantrel::kSyncStateProgress) ++packages_;
        latest_.clientSyncId = clientSyncId;
        latest_.progress1 = std::max(latest_.progress1, progress1);
        latest_.progress2 = std::max(latest_.progress2, progress2);
        latest_.items = std::max(latest_.items, items);
        if (!ended_ &&
            (state == vantrel::kSyncStateEnded || state == vantrel::kSyncStateCanceled)) {
            ended_ = true;
            end_ = e;
            latest_.state = state;
            latest_.result = result;
        } else if (!ended_) {
            latest_.state = std::max(latest_.state, state);
        }
    }
    cv_.notify_all();
    if (listener_) {
        try {
            listener_(e);
        } catch (...) {
        }
    }
    return S_OK;
}

}  // namespace vt::host
