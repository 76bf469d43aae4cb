// A fake COM object for tests that counts the references handed out on it.
//
// It lives on the test's stack (or as a fixture member) and is never deleted through Release:
// refs() is the number of references outstanding, starting at 0. A Release that would take the
// count below zero, and references still outstanding when the object is destroyed, are reported
// as test failures. QueryInterface answers IID_IUnknown and the extra IIDs given to the
// constructor, all with the same IUnknown pointer, and counts the calls. AddRef and Release are
// safe from any thread; the rest is not meant to be changed while other threads use the object.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <initializer_list>
#include <vector>

#include "platform/com.h"

namespace vt::test {

class CountingUnknown : public IUnknown {
  public:
    CountingUnknown() = default;
    explicit CountingUnknown(std::initializer_list<IID> extraIids) : extra_(extraIids) {}
    CountingUnknown(const CountingUnknown&) = delete;
    CountingUnknown& operator=(const CountingUnknown&) = delete;
    ~CountingUnknown() { EXPECT_EQ(refs_.load(), 0) << "references leaked on a CountingUnknown"; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        ++queries_;
        if (!ppvObject) return E_POINTER;
        if (supports(riid)) {
            *ppvObject = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        long now = --refs_;
        if (now < 0) {
            ADD_FAILURE() << "CountingUnknown released more often than referenced";
            refs_ = 0;
            return 0;
        }
        return static_cast<ULONG>(now);
    }

    // References outstanding.
    long refs() const { return refs_.load(); }
    // QueryInterface calls so far, answered or not.
    int queries() const { return queries_.load(); }
    // The object as the raw interface pointer a caller would hold, without adding a reference.
    IUnknown* unknown() { return this; }

  private:
    bool supports(REFIID riid) const {
        if (IsEqualIID(riid, IID_IUnknown)) return true;
        for (const IID& iid : extra_)
            if (IsEqualIID(riid, iid)) return true;
        return false;
    }

    std::vector<IID> extra_;
    std::atomic<long> refs_{0};
    std::atomic<int> queries_{0};
};

}  // namespace vt::test
