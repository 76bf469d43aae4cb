// The owners of platform/com_raii.h: every path that takes, hands on or gives up a resource
// must leave exact reference counts and free exactly once (ASan and the leak checker watch
// the memory ones).

#include "platform/com_raii.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/counting_unknown.h"

namespace {

using vt::test::CountingUnknown;

// An interface id the fake answers besides IID_IUnknown, and one it refuses.
constexpr IID kIidAnswered = {0x5a1e0001, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr IID kIidRefused = {0x5a1e0002, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

class ComRaiiTest : public ::testing::Test {
  protected:
    CountingUnknown object_{kIidAnswered};
    CountingUnknown other_;
};

TEST_F(ComRaiiTest, ComPtrCopyAddsMoveTransfers) {
    {
        vt::com_ptr<IUnknown> a(object_.unknown());
        EXPECT_EQ(object_.refs(), 1);
        vt::com_ptr<IUnknown> b = a;
        EXPECT_EQ(object_.refs(), 2);
        vt::com_ptr<IUnknown> c = std::move(a);
        EXPECT_EQ(object_.refs(), 2);
        EXPECT_FALSE(a);
        b = c;
        b = b;
        c = std::move(c);
        EXPECT_EQ(object_.refs(), 2);
        b = vt::com_ptr<IUnknown>(other_.unknown());
        EXPECT_EQ(object_.refs(), 1);
        EXPECT_EQ(other_.refs(), 1);
        c.reset();
        EXPECT_EQ(object_.refs(), 0);
    }
    EXPECT_EQ(other_.refs(), 0);
}

TEST_F(ComRaiiTest, ComPtrAttachDetachPut) {
    object_.AddRef();  // a reference handed to us by a callee
    vt::com_ptr<IUnknown> p;
    p.attach(object_.unknown());
    EXPECT_EQ(object_.refs(), 1);
    IUnknown* raw = p.detach();
    EXPECT_EQ(object_.refs(), 1);
    EXPECT_FALSE(p);
    raw->Release();

    vt::com_ptr<IUnknown> held(other_.unknown());
    // put() drops the old reference before the callee writes the new one.
    EXPECT_EQ(object_.QueryInterface(IID_IUnknown, held.put_void()), S_OK);
    EXPECT_EQ(other_.refs(), 0);
    EXPECT_EQ(held.get(), object_.unknown());
    held.reset();
    EXPECT_EQ(object_.refs(), 0);
}

TEST_F(ComRaiiTest, ComPtrCopyToAndTryQuery) {
    vt::com_ptr<IUnknown> p(object_.unknown());
    IUnknown* out = nullptr;
    EXPECT_EQ(p.copy_to(&out), S_OK);
    EXPECT_EQ(object_.refs(), 2);
    out->Release();
    EXPECT_EQ(p.copy_to(nullptr), E_POINTER);

    HRESULT hr = E_FAIL;
    auto answered = p.try_query<IUnknown>(kIidAnswered, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_TRUE(answered);
    EXPECT_EQ(object_.refs(), 2);
    auto refused = p.try_query<IUnknown>(kIidRefused, &hr);
    EXPECT_EQ(hr, E_NOINTERFACE);
    EXPECT_FALSE(refused);
    EXPECT_EQ(object_.refs(), 2);
    EXPECT_EQ(object_.queries(), 2);

    vt::com_ptr<IUnknown> empty;
    EXPECT_FALSE(empty.try_query<IUnknown>(IID_IUnknown, &hr));
    EXPECT_EQ(hr, E_POINTER);
}

TEST_F(ComRaiiTest, UniqueBstr) {
    vt::unique_bstr text(u"Notes");
    EXPECT_EQ(text.str(), u"Notes");
    EXPECT_EQ(SysStringLen(text.get()), 5u);
    vt::unique_bstr empty(std::u16string_view{});
    ASSERT_TRUE(empty);  // an empty text is an empty string, not a null one
    EXPECT_EQ(SysStringLen(empty.get()), 0u);

    vt::unique_bstr moved = std::move(text);
    EXPECT_FALSE(text);
    EXPECT_EQ(moved.str(), u"Notes");
    *moved.put() = SysAllocString(vt::ole(u"out"));  // the old string is freed by put()
    EXPECT_EQ(moved.str(), u"out");
    BSTR raw = moved.detach();
    EXPECT_EQ(moved.str(), u"");
    SysFreeString(raw);
}

TEST_F(ComRaiiTest, UniqueVariant) {
    {
        vt::unique_variant v;
        EXPECT_EQ(v->vt, VT_EMPTY);
        v->vt = VT_UNKNOWN;
        v->punkVal = object_.unknown();
        object_.AddRef();
        vt::unique_variant moved = std::move(v);
        EXPECT_EQ(v->vt, VT_EMPTY);
        EXPECT_EQ(object_.refs(), 1);

        VARIANT raw = moved.detach();
        EXPECT_EQ(moved->vt, VT_EMPTY);
        EXPECT_EQ(object_.refs(), 1);
        moved.attach(raw);
        ASSERT_EQ(VariantCopy(v.put(), moved.get()), S_OK);
        EXPECT_EQ(object_.refs(), 2);
        moved.reset();
        EXPECT_EQ(object_.refs(), 1);
    }
    EXPECT_EQ(object_.refs(), 0);
}

TEST_F(ComRaiiTest, UniqueSafearrayDestroysElements) {
    vt::unique_safearray array(SafeArrayCreateVector(VT_UNKNOWN, 0, 1));
    static_cast<IUnknown**>(array.get()->pvData)[0] = object_.unknown();
    object_.AddRef();
    vt::unique_safearray moved = std::move(array);
    EXPECT_FALSE(array);
    EXPECT_EQ(SafeArrayCopy(moved.get(), array.put()), S_OK);
    EXPECT_EQ(object_.refs(), 2);
    moved.reset();
    EXPECT_EQ(object_.refs(), 1);
    *array.put() = nullptr;
    EXPECT_EQ(object_.refs(), 0);
}

TEST_F(ComRaiiTest, SafearrayDataLockHoldsTheLock) {
    vt::unique_safearray array(SafeArrayCreateVector(VT_UI1, 0, 3));
    {
        vt::safearray_data_lock<uint8_t> lock(array.get());
        ASSERT_TRUE(lock.ok());
        EXPECT_EQ(lock.size(), 3u);
        std::memcpy(lock.data(), "abc", 3);
        vt::safearray_data_lock<uint8_t> moved = std::move(lock);
        EXPECT_FALSE(lock.ok());
        EXPECT_EQ(array.get()->cLocks, 1u);
        EXPECT_EQ(SafeArrayDestroy(array.get()), DISP_E_ARRAYISLOCKED);
    }
    EXPECT_EQ(array.get()->cLocks, 0u);  // unlocked exactly once
    EXPECT_EQ(std::memcmp(array.get()->pvData, "abc", 3), 0);

    vt::safearray_data_lock<uint8_t> none(nullptr);
    EXPECT_FALSE(none.ok());
    EXPECT_EQ(none.result(), E_POINTER);
    EXPECT_EQ(none.size(), 0u);
}

}  // namespace
