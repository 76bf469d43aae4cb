// Move-only owners of COM resources: interface references, BSTRs, VARIANTs, SAFEARRAYs and
// locked SAFEARRAY data, and COM task memory.
//
// Every owner offers get(), reset(), release() (give up ownership and return the raw value,
// also spelled detach()), attach() (take over a raw value) and put() (free the current value
// and return the address for an out-parameter). Owners are not thread-safe; destructors never
// throw.
#pragma once

#include <cstddef>
#include <utility>

#include "platform/com.h"

namespace vt {

// Holds one reference to a COM interface.
template <class T>
class com_ptr {
  public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    // Adds a reference of its own.
    explicit com_ptr(T* p) noexcept : p_(p) {
        if (p_) p_->AddRef();
    }
    com_ptr(const com_ptr& o) noexcept : com_ptr(o.p_) {}
    com_ptr(com_ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    com_ptr& operator=(const com_ptr& o) noexcept {
        com_ptr(o).swap(*this);
        return *this;
    }
    com_ptr& operator=(com_ptr&& o) noexcept {
        com_ptr(std::move(o)).swap(*this);
        return *this;
    }
    ~com_ptr() { reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    // Takes over a reference the caller owns.
    void attach(T* p) noexcept {
        reset();
        p_ = p;
    }
    [[nodiscard]] T* detach() noexcept { return std::exchange(p_, nullptr); }
    [[nodiscard]] T* release() noexcept { return detach(); }
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    void swap(com_ptr& o) noexcept { std::swap(p_, o.p_); }

    // Hands an extra reference to an out-parameter.
    HRESULT copy_to(T** out) const noexcept {
        if (!out) return E_POINTER;
        *out = p_;
        if (p_) p_->AddRef();
        return S_OK;
    }

    // QueryInterface for iid into a new owner; empty when the query fails.
    template <class U>
    com_ptr<U> try_query(REFIID iid, HRESULT* hr = nullptr) const noexcept {
        com_ptr<U> out;
        HRESULT r = p_ ? p_->QueryInterface(iid, out.put_void()) : E_POINTER;
        if (hr) *hr = r;
        if (FAILED(r)) out.reset();
        return out;
    }

  private:
    T* p_ = nullptr;
};

// Gives up p's reference. An object of another component that throws from Release (which COM
// forbids, but a host's object may do) doesn't take the caller down: false tells it threw.
template <class T>
bool release_shielded(com_ptr<T>& p) noexcept {
    T* raw = p.detach();
    if (!raw) return true;
    try {
        raw->Release();
        return true;
    } catch (...) {
        return false;
    }
}

// Owns a BSTR.
class unique_bstr {
  public:
    unique_bstr() noexcept = default;
    explicit unique_bstr(BSTR s) noexcept : s_(s) {}
    explicit unique_bstr(std::u16string_view text) : s_(allocBstr(text)) {}
    // Copies zero-terminated text. Without this overload a string literal would bind to the
    // BSTR constructor (a conversion the compiler still accepts) and be freed as a BSTR.
    explicit unique_bstr(const OLECHAR* text) : s_(SysAllocString(text)) {}
    unique_bstr(std::nullptr_t) noexcept {}
    unique_bstr(unique_bstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    unique_bstr& operator=(unique_bstr&& o) noexcept {
        if (this != &o) attach(o.detach());
        return *this;
    }
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    ~unique_bstr() { reset(); }

    BSTR get() const noexcept { return s_; }
    explicit operator bool() const noexcept { return s_ != nullptr; }
    void reset() noexcept {
        if (BSTR s = std::exchange(s_, nullptr)) SysFreeString(s);
    }
    void attach(BSTR s) noexcept {
        reset();
        s_ = s;
    }
    [[nodiscard]] BSTR detach() noexcept { return std::exchange(s_, nullptr); }
    [[nodiscard]] BSTR release() noexcept { return detach(); }
    BSTR* put() noexcept {
        reset();
        return &s_;
    }
    std::u16string str() const { return fromBstr(s_); }

  private:
    BSTR s_ = nullptr;
};

// Owns a VARIANT; it is cleared on destruction.
class unique_variant {
  public:
    unique_variant() noexcept { VariantInit(&v_); }
    unique_variant(unique_variant&& o) noexcept {
        v_ = o.v_;
        VariantInit(&o.v_);
    }
    unique_variant& operator=(unique_variant&& o) noexcept {
        if (this != &o) attach(o.detach());
        return *this;
    }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    ~unique_variant() { VariantClear(&v_); }

    VARIANT* get() noexcept { return &v_; }
    const VARIANT* get() const noexcept { return &v_; }
    VARIANT* operator->() noexcept { return &v_; }
    void reset() noexcept { VariantClear(&v_); }
    // Takes over the contents of v; v is left without a value of its own.
    void attach(VARIANT v) noexcept {
        VariantClear(&v_);
        v_ = v;
    }
    [[nodiscard]] VARIANT detach() noexcept {
        VARIANT v = v_;
        VariantInit(&v_);
        return v;
    }
    [[nodiscard]] VARIANT release() noexcept { return detach(); }
    VARIANT* put() noexcept {
        VariantClear(&v_);
        return &v_;
    }

  private:
    VARIANT v_;
};

// Owns a SAFEARRAY descriptor and its data.
class unique_safearray {
  public:
    unique_safearray() noexcept = default;
    explicit unique_safearray(SAFEARRAY* p) noexcept : p_(p) {}
    unique_safearray(unique_safearray&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    unique_safearray& operator=(unique_safearray&& o) noexcept {
        if (this != &o) attach(o.detach());
        return *this;
    }
    unique_safearray(const unique_safearray&) = delete;
    unique_safearray& operator=(const unique_safearray&) = delete;
    ~unique_safearray() { reset(); }

    SAFEARRAY* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        if (SAFEARRAY* p = std::exchange(p_, nullptr)) SafeArrayDestroy(p);
    }
    void attach(SAFEARRAY* p) noexcept {
        reset();
        p_ = p;
    }
    [[nodiscard]] SAFEARRAY* detach() noexcept { return std::exchange(p_, nullptr); }
    [[nodiscard]] SAFEARRAY* release() noexcept { return detach(); }
    SAFEARRAY** put() noexcept {
        reset();
        return &p_;
    }

  private:
    SAFEARRAY* p_ = nullptr;
};

// Keeps a SAFEARRAY's data locked (SafeArrayAccessData) for its lifetime. Does not own the
// array. Check ok() before using data().
template <class T>
class safearray_data_lock {
  public:
    explicit safearray_data_lock(SAFEARRAY* psa) noexcept : psa_(psa) {
        if (psa_) {
            void* data = nullptr;
            hr_ = SafeArrayAccessData(psa_, &data);
            if (SUCCEEDED(hr_)) data_ = static_cast<T*>(data);
        } else {
            hr_ = E_POINTER;
        }
    }
    safearray_data_lock(safearray_data_lock&& o) noexcept
        : psa_(std::exchange(o.psa_, nullptr)),
          data_(std::exchange(o.data_, nullptr)),
          hr_(o.hr_) {}
    safearray_data_lock(const safearray_data_lock&) = delete;
    safearray_data_lock& operator=(const safearray_data_lock&) = delete;
    safearray_data_lock& operator=(safearray_data_lock&&) = delete;
    ~safearray_data_lock() { reset(); }

    bool ok() const noexcept { return psa_ != nullptr && SUCCEEDED(hr_); }
    HRESULT result() const noexcept { return hr_; }
    T* data() const noexcept { return data_; }
    // Element count of the first dimension, 0 when not locked.
    ULONG size() const noexcept { return ok() ? psa_->rgsabound[0].cElements : 0; }
    void reset() noexcept {
        if (psa_ && SUCCEEDED(hr_)) SafeArrayUnaccessData(psa_);
        psa_ = nullptr;
        data_ = nullptr;
        hr_ = E_POINTER;
    }

  private:
    SAFEARRAY* psa_ = nullptr;
    T* data_ = nullptr;
    HRESULT hr_ = E_POINTER;
};

// Owns a block from the COM task allocator.
template <class T>
class unique_cotaskmem_ptr {
  public:
    unique_cotaskmem_ptr() noexcept = default;
    explicit unique_cotaskmem_ptr(T* p) noexcept : p_(p) {}
    unique_cotaskmem_ptr(unique_cotaskmem_ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    unique_cotaskmem_ptr& operator=(unique_cotaskmem_ptr&& o) noexcept {
        if (this != &o) attach(o.detach());
        return *this;
    }
    unique_cotaskmem_ptr(const unique_cotaskmem_ptr&) = delete;
    unique_cotaskmem_ptr& operator=(const unique_cotaskmem_ptr&) = delete;
    ~unique_cotaskmem_ptr() { reset(); }

    T* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) CoTaskMemFree(p);
    }
    void attach(T* p) noexcept {
        reset();
        p_ = p;
    }
    [[nodiscard]] T* detach() noexcept { return std::exchange(p_, nullptr); }
    [[nodiscard]] T* release() noexcept { return detach(); }
    T** put() noexcept {
        reset();
        return &p_;
    }

  private:
    T* p_ = nullptr;
};

}  // namespace vt
