// A recursive critical section with its scoped lock, and an event with its busy scope.
// All are thread-safe by purpose.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace vt {

class CritSec {
  public:
    CritSec() = default;
    CritSec(const CritSec&) = delete;
    CritSec& operator=(const CritSec&) = delete;
    void enter() { m_.lock(); }
    void leave() { m_.unlock(); }

  private:
    std::recursive_mutex m_;
};

// Enters at construction when asked to and leaves at destruction only if it entered.
class CritSecLock {
  public:
    explicit CritSecLock(CritSec& cs, bool lockNow = true) : cs_(&cs) {
        if (lockNow) {
            cs_->enter();
            entered_ = true;
        }
    }
    ~CritSecLock() {
        if (entered_) cs_->leave();
    }
    CritSecLock(const CritSecLock&) = delete;
    CritSecLock& operator=(const CritSecLock&) = delete;

  private:
    CritSec* cs_;
    bool entered_ = false;
};

// An unnamed event that starts signalled. A manual-reset event stays set until reset; an
// auto-reset event releases one waiter and resets itself.
class SyncEvent {
  public:
    explicit SyncEvent(bool manualReset, bool initiallySet = true)
        : manual_(manualReset), set_(initiallySet) {}
    SyncEvent(const SyncEvent&) = delete;
    SyncEvent& operator=(const SyncEvent&) = delete;

    void set() {
        {
            std::lock_guard<std::mutex> l(m_);
            set_ = true;
        }
        if (manual_)
            cv_.notify_all();
        else
            cv_.notify_one();
    }
    void reset() {
        std::lock_guard<std::mutex> l(m_);
        set_ = false;
    }
    // Waits until the event is set; false when timeoutMs elapsed first.
    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> l(m_);
        if (!cv_.wait_for(l, timeout, [this] { return set_; })) return false;
        if (!manual_) set_ = false;
        return true;
    }
    void wait() {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [this] { return set_; });
        if (!manual_) set_ = false;
    }
    bool isSet() {
        std::lock_guard<std::mutex> l(m_);
        return set_;
    }

  private:
    const bool manual_;
    bool set_;
    std::mutex m_;
    std::condition_variable cv_;
};

// Resets the event at construction and sets it at destruction: the event is non-signalled
// exactly while the scope is open. Throws std::invalid_argument for a null event.
class EventResetScope {
  public:
    explicit EventResetScope(SyncEvent* e) : e_(e) {
        if (!e_) throw std::invalid_argument("EventResetScope: null event");
        e_->reset();
    }
    ~EventResetScope() { e_->set(); }
    EventResetScope(const EventResetScope&) = delete;
    EventResetScope& operator=(const EventResetScope&) = delete;

  private:
    SyncEvent* e_;
};

}  // namespace vt
