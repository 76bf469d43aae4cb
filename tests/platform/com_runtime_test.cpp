// The Windows behaviour of libvantrelcom that the module, hosts and engines rely on: BSTR
// layout and lengths, SAFEARRAY bounds, locks and element cleanup, VARIANT copy/clear
// reference counts and the byte-array type change, the task allocator and CoInitializeEx.
// Under the sanitizer build the leak checker fails the run for anything not freed.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "platform/com.h"
#include "tests/support/counting_unknown.h"

namespace {

using vt::test::CountingUnknown;

std::string arrayBytes(SAFEARRAY* psa) {
    return std::string(static_cast<const char*>(psa->pvData), psa->rgsabound[0].cElements);
}

VARIANT bstrVariant(const char* bytes, UINT len) {
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringByteLen(bytes, len);
    return v;
}

VARIANT unknownVariant(CountingUnknown& object) {
    VARIANT v;
    v.vt = VT_UNKNOWN;
    v.punkVal = object.unknown();
    object.AddRef();
    return v;
}

TEST(ComBstrTest, PrefixHoldsByteCountAndTextMayHoldZeros) {
    BSTR s = SysAllocStringLen(vt::ole(u"a\0b"), 3);
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
    EXPECT_EQ(prefix, 6u);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(SysStringByteLen(s), 6u);
    EXPECT_EQ(vt::fromBstr(s), std::u16string(u"a\0b", 3));
    EXPECT_EQ(s[3], 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % 8, 0u);
    SysFreeString(s);

    s = SysAllocStringByteLen("abc", 3);  // odd byte counts survive
    EXPECT_EQ(SysStringByteLen(s), 3u);
    EXPECT_EQ(SysStringLen(s), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s), 5), std::string("abc\0\0", 5));
    SysFreeString(s);
}

TEST(ComBstrTest, NullHandling) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);

    BSTR room = SysAllocStringLen(nullptr, 3);  // room for the caller to fill, terminated
    ASSERT_NE(room, nullptr);
    EXPECT_EQ(SysStringLen(room), 3u);
    EXPECT_EQ(room[3], 0);
    room[0] = room[1] = room[2] = u'x';
    SysFreeString(room);

    BSTR empty = SysAllocString(vt::ole(u""));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
}

TEST(ComSafeArrayTest, VectorBoundsTypeAndZeroedData) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, -2, 5);
    ASSERT_NE(psa, nullptr);
    LONG lower = 0, upper = 0;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &upper), S_OK);
    EXPECT_EQ(lower, -2);
    EXPECT_EQ(upper, 2);
    EXPECT_EQ(SafeArrayGetLBound(psa, 0, &lower), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, 2, &upper), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &lower), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    // Where a Windows caller finds the element type without asking.
    EXPECT_TRUE(psa->fFeatures & FADF_HAVEVARTYPE);
    EXPECT_EQ(*reinterpret_cast<DWORD*>(reinterpret_cast<char*>(psa) - 4), DWORD{VT_I4});
    EXPECT_EQ(std::string(static_cast<char*>(psa->pvData), 20), std::string(20, '\0'));
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

    psa = SafeArrayCreateVector(VT_UI1, 7, 0);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &upper), S_OK);
    EXPECT_EQ(upper, 6);  // an empty array ends before it starts
    SafeArrayDestroy(psa);
}

TEST(ComSafeArrayTest, ElementTypesAndRefusedShapes) {
    const std::pair<VARTYPE, UINT> sizes[] = {
        {VT_UI1, 1}, {VT_I1, 1},   {VT_I2, 2},      {VT_UI2, 2},      {VT_BOOL, 2},
        {VT_I4, 4},  {VT_UINT, 4}, {VT_R4, 4},      {VT_R8, 8},       {VT_I8, 8},
        {VT_UI8, 8}, {VT_BSTR, 8}, {VT_UNKNOWN, 8}, {VT_DISPATCH, 8}, {VT_VARIANT, 24}};
    for (auto [type, size] : sizes) {
        SAFEARRAYBOUND bound{2, 0};
        SAFEARRAY* psa = SafeArrayCreate(type, 1, &bound);
        ASSERT_NE(psa, nullptr) << type;
        EXPECT_EQ(SafeArrayGetElemsize(psa), size) << type;
        VARTYPE got = VT_EMPTY;
        EXPECT_EQ(SafeArrayGetVartype(psa, &got), S_OK);
        EXPECT_EQ(got, type);
        SafeArrayDestroy(psa);
    }
    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
}

TEST(ComSafeArrayTest, LockedArrayCannotBeDestroyed) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 4);
    void* first = nullptr;
    void* second = nullptr;
    EXPECT_EQ(SafeArrayAccessData(psa, &first), S_OK);
    EXPECT_EQ(SafeArrayAccessData(psa, &second), S_OK);
    EXPECT_EQ(first, psa->pvData);
    EXPECT_EQ(second, first);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(ComSafeArrayTest, DestroyFreesAndReleasesElements) {
    CountingUnknown object;
    SAFEARRAY* unknowns = SafeArrayCreateVector(VT_UNKNOWN, 0, 3);
    static_cast<IUnknown**>(unknowns->pvData)[0] = object.unknown();
    static_cast<IUnknown**>(unknowns->pvData)[2] = object.unknown();
    object.AddRef();
    object.AddRef();
    EXPECT_EQ(SafeArrayDestroy(unknowns), S_OK);
    EXPECT_EQ(object.refs(), 0);

    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 2);
    static_cast<BSTR*>(strings->pvData)[1] = SysAllocString(vt::ole(u"note"));
    EXPECT_EQ(SafeArrayDestroy(strings), S_OK);

    SAFEARRAY* variants = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    static_cast<VARIANT*>(variants->pvData)[0] = bstrVariant("x", 1);
    static_cast<VARIANT*>(variants->pvData)[1] = unknownVariant(object);
    EXPECT_EQ(SafeArrayDestroy(variants), S_OK);
    EXPECT_EQ(object.refs(), 0);
}

TEST(ComSafeArrayTest, CopyIsDeepAndUnlocked) {
    CountingUnknown object;
    SAFEARRAY* unknowns = SafeArrayCreateVector(VT_UNKNOWN, 1, 2);
    static_cast<IUnknown**>(unknowns->pvData)[1] = object.unknown();
    object.AddRef();
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(unknowns, &copy), S_OK);
    EXPECT_EQ(object.refs(), 2);
    LONG lower = 0;
    SafeArrayGetLBound(copy, 1, &lower);
    EXPECT_EQ(lower, 1);
    SafeArrayDestroy(unknowns);
    SafeArrayDestroy(copy);
    EXPECT_EQ(object.refs(), 0);

    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 2);
    BSTR odd = SysAllocStringByteLen("xyz", 3);
    static_cast<BSTR*>(strings->pvData)[0] = odd;
    void* data = nullptr;
    SafeArrayAccessData(strings, &data);
    ASSERT_EQ(SafeArrayCopy(strings, &copy), S_OK);
    SafeArrayUnaccessData(strings);
    EXPECT_EQ(copy->cLocks, 0u);
    BSTR copied = static_cast<BSTR*>(copy->pvData)[0];
    EXPECT_NE(copied, odd);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copied), SysStringByteLen(copied)), "xyz");
    EXPECT_EQ(static_cast<BSTR*>(copy->pvData)[1], nullptr);
    SafeArrayDestroy(strings);
    SafeArrayDestroy(copy);

    EXPECT_EQ(SafeArrayCopy(nullptr, &copy), S_OK);
    EXPECT_EQ(copy, nullptr);
}

TEST(ComVariantTest, ClearReleasesOwnedValuesOnly) {
    CountingUnknown object;
    VARIANT v = unknownVariant(object);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(object.refs(), 0);

    BSTR target = SysAllocString(vt::ole(u"kept"));
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = &target;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(vt::fromBstr(target), u"kept");
    SysFreeString(target);

    v.vt = 15;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
    v.vt = VT_ARRAY | VT_EMPTY;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);

    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, 1);
    void* data;
    SafeArrayAccessData(v.parray, &data);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
    SafeArrayUnaccessData(v.parray);
    EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST(ComVariantTest, CopyAddsReferencesAndDuplicatesValues) {
    CountingUnknown first, second;
    VARIANT src = unknownVariant(first);
    VARIANT dest = unknownVariant(second);
    EXPECT_EQ(VariantCopy(&dest, &src), S_OK);
    EXPECT_EQ(first.refs(), 2);
    EXPECT_EQ(second.refs(), 0);  // the destination was cleared first
    EXPECT_EQ(VariantCopy(&src, &src), S_OK);
    EXPECT_EQ(first.refs(), 2);
    VariantClear(&dest);
    VariantClear(&src);
    EXPECT_EQ(first.refs(), 0);

    src = bstrVariant("abcde", 5);
    EXPECT_EQ(VariantCopy(&dest, &src), S_OK);
    EXPECT_NE(dest.bstrVal, src.bstrVal);
    EXPECT_EQ(SysStringByteLen(dest.bstrVal), 5u);
    VariantClear(&src);
    src.vt = VT_ARRAY | VT_UI1;
    src.parray = SafeArrayCreateVector(VT_UI1, 0, 2);
    EXPECT_EQ(VariantCopy(&dest, &src), S_OK);
    EXPECT_NE(dest.parray, src.parray);
    EXPECT_EQ(dest.parray->rgsabound[0].cElements, 2u);
    VariantClear(&src);
    VariantClear(&dest);

    src.vt = 0x0fff;
    EXPECT_EQ(VariantCopy(&dest, &src), DISP_E_BADVARTYPE);
}

TEST(ComVariantTest, ChangeTypeTakesTheRawBytesOfAString) {
    const std::string bytes("\x01\x00\xff", 3);
    VARIANT src = bstrVariant(bytes.data(), 3);
    VARIANT dest;
    VariantInit(&dest);
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_ARRAY | VT_UI1), S_OK);
    EXPECT_EQ(dest.vt, VT_ARRAY | VT_UI1);
    LONG lower = -1;
    SafeArrayGetLBound(dest.parray, 1, &lower);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(arrayBytes(dest.parray), bytes);
    EXPECT_EQ(src.vt, VT_BSTR);
    VariantClear(&dest);

    // In place, from a string and then from the array it became.
    ASSERT_EQ(VariantChangeType(&src, &src, 0, VT_ARRAY | VT_UI1), S_OK);
    ASSERT_EQ(VariantChangeType(&src, &src, 0, VT_ARRAY | VT_UI1), S_OK);
    EXPECT_EQ(arrayBytes(src.parray), bytes);
    VariantClear(&src);

    src.vt = VT_BSTR;
    src.bstrVal = nullptr;
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_ARRAY | VT_UI1), S_OK);
    EXPECT_EQ(dest.parray->rgsabound[0].cElements, 0u);
    VariantClear(&dest);
}

TEST(ComVariantTest, ChangeTypeRefusesOtherConversionsAndKeepsTheDestination) {
    CountingUnknown object;
    VARIANT dest = unknownVariant(object);
    VARIANT number;
    number.vt = VT_I4;
    number.lVal = 7;
    EXPECT_EQ(VariantChangeType(&dest, &number, 0, VT_ARRAY | VT_UI1), DISP_E_TYPEMISMATCH);
    VARIANT text = bstrVariant("ab", 2);
    EXPECT_EQ(VariantChangeType(&dest, &text, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&text, &text, 0, VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dest.vt, VT_UNKNOWN);
    EXPECT_EQ(object.refs(), 1);
    EXPECT_EQ(text.vt, VT_BSTR);
    VariantClear(&text);
    VariantClear(&dest);
}

TEST(ComRuntimeTest, TaskAllocator) {
    void* nothing = CoTaskMemAlloc(0);
    EXPECT_NE(nothing, nullptr);
    CoTaskMemFree(nothing);
    CoTaskMemFree(nullptr);

    auto* p = static_cast<char*>(CoTaskMemRealloc(nullptr, 4));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcd", 4);
    p = static_cast<char*>(CoTaskMemRealloc(p, 4096));
    EXPECT_EQ(std::string(p, 4), "abcd");
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // frees the block
}

TEST(ComRuntimeTest, InitialisationIsCountedPerThread) {
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        std::thread([] {
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
            CoUninitialize();
        }).join();
        CoUninitialize();
        CoUninitialize();
        // The refused call did not count, so the thread is uninitialised again.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    }).join();
}

TEST(ComRuntimeTest, WellKnownInterfaceIds) {
    const IID unknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    const IID factory = {1, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    EXPECT_TRUE(IsEqualIID(IID_IUnknown, unknown));
    EXPECT_TRUE(IsEqualIID(IID_IClassFactory, factory));
}

}  // namespace
