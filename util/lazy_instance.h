// A process-wide object made at its first use and freed only when asked (the module's unload),
// never by a static destructor: hosts may still call into the module while the process exits.
// Declare it at namespace scope; it is constant-initialised. Thread-safe.
#pragma once

#include <atomic>

namespace vt {

template <class T>
class LazyInstance {
  public:
    constexpr LazyInstance() noexcept = default;
    LazyInstance(const LazyInstance&) = delete;
    LazyInstance& operator=(const LazyInstance&) = delete;

    // The object, made at the first call (by whichever thread comes first).
    T& get() {
        T* p = p_.load(std::memory_order_acquire);
        if (p) return *p;
        T* made = new T();
        if (p_.compare_exchange_strong(p, made, std::memory_order_acq_rel)) return *made;
        delete made;  // another thread was first; p is its object
        return *p;
    }
    // The object, or null while none is made.
    T* peek() const noexcept { return p_.load(std::memory_order_acquire); }
    // Frees the object when idle(object) answers true; true when no object is left. The caller
    // makes sure nothing uses or makes the object meanwhile (idle checks under the object's
    // own lock what it can).
    template <class Idle>
    bool release(Idle&& idle) {
        T* p = p_.load(std::memory_order_acquire);
        if (!p) return true;
        if (!idle(*p)) return false;
        p_.store(nullptr, std::memory_order_release);
        delete p;
        return true;
    }

  private:
    std::atomic<T*> p_{nullptr};
};

}  // namespace vt
