// One-dimensional SAFEARRAYs with the 64-bit Windows memory layout.
//
// Every descriptor is allocated with 16 hidden bytes in front of it, as on Windows: arrays of
// interface pointers keep the element IID there (FADF_HAVEIID), all others keep their VARTYPE
// in the last four of those bytes (FADF_HAVEVARTYPE). The data block is a separate zero-filled
// allocation. Arrays of more than one dimension are not supported.
//
// Thread safety: the lock count is changed atomically, so several threads may access the data
// of one array at the same time; everything else about a given array is not protected.

#include <vtcom/comtypes.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kHiddenBytes = 16;
constexpr ULONG kMaxLocks = 0xffff;  // Windows refuses more nested locks than this
constexpr USHORT kFreeNothing = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;

constexpr IID kIidIDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Element size of a supported element type, 0 for any other type.
ULONG elementSize(VARTYPE vt) {
    switch (vt) {
        case VT_UI1:
        case VT_I1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
            return 4;
        case VT_R8:
        case VT_I8:
        case VT_UI8:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(IUnknown*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

char* hiddenOf(SAFEARRAY* psa) {
    return reinterpret_cast<char*>(psa) - kHiddenBytes;
}

void setHiddenVartype(SAFEARRAY* psa, VARTYPE vt) {
    DWORD value = vt;
    std::memcpy(hiddenOf(psa) + kHiddenBytes - sizeof value, &value, sizeof value);
}

void setHiddenIid(SAFEARRAY* psa, const IID& iid) {
    std::memcpy(hiddenOf(psa), &iid, sizeof iid);
}

size_t elementCount(const SAFEARRAY* psa) {
    return psa->rgsabound[0].cElements;
}

// A new descriptor and zero-filled data block for cElements elements of type vt.
SAFEARRAY* createArray(VARTYPE vt, LONG lLbound, ULONG cElements) {
    ULONG size = elementSize(vt);
    if (size == 0) return nullptr;

    char* hidden = static_cast<char*>(std::calloc(1, kHiddenBytes + sizeof(SAFEARRAY)));
    if (!hidden) return nullptr;
    auto* psa = reinterpret_cast<SAFEARRAY*>(hidden + kHiddenBytes);
    psa->cDims = 1;
    psa->cbElements = size;
    psa->rgsabound[0].cElements = cElements;
    psa->rgsabound[0].lLbound = lLbound;
    switch (vt) {
        case VT_UNKNOWN:
            psa->fFeatures = FADF_HAVEIID | FADF_UNKNOWN;
            setHiddenIid(psa, IID_IUnknown);
            break;
        case VT_DISPATCH:
            psa->fFeatures = FADF_HAVEIID | FADF_DISPATCH;
            setHiddenIid(psa, kIidIDispatch);
            break;
        case VT_BSTR:
            psa->fFeatures = FADF_HAVEVARTYPE | FADF_BSTR;
            setHiddenVartype(psa, vt);
            break;
        case VT_VARIANT:
            psa->fFeatures = FADF_HAVEVARTYPE | FADF_VARIANT;
            setHiddenVartype(psa, vt);
            break;
        default:
            psa->fFeatures = FADF_HAVEVARTYPE;
            setHiddenVartype(psa, vt);
            break;
    }

    // cElements * size cannot overflow 64 bits; calloc checks that it can be had. An empty
    // array still gets a (one-byte) block, so pvData is never null.
    size_t bytes = size_t{cElements} * size;
    psa->pvData = std::calloc(bytes ? bytes : 1, 1);
    if (!psa->pvData) {
        std::free(hidden);
        return nullptr;
    }
    return psa;
}

// Frees what the elements own (strings, references, VARIANT contents) and zeroes them.
void clearElements(SAFEARRAY* psa) {
    if (!psa->pvData) return;
    size_t n = elementCount(psa);
    if (psa->fFeatures & FADF_BSTR) {
        auto* items = static_cast<BSTR*>(psa->pvData);
        for (size_t i = 0; i < n; ++i) {
            SysFreeString(items[i]);
            items[i] = nullptr;
        }
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        auto* items = static_cast<IUnknown**>(psa->pvData);
        for (size_t i = 0; i < n; ++i) {
            if (IUnknown* p = items[i]) {
                items[i] = nullptr;
                p->Release();
            }
        }
    } else if (psa->fFeatures & FADF_VARIANT) {
        auto* items = static_cast<VARIANT*>(psa->pvData);
        for (size_t i = 0; i < n; ++i) VariantClear(&items[i]);
    }
}

std::atomic_ref<ULONG> lockCount(SAFEARRAY* psa) {
    return std::atomic_ref<ULONG>(psa->cLocks);
}

}  // namespace

extern "C" {

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    if (cDims != 1 || !rgsabound) return nullptr;
    return createArray(vt, rgsabound[0].lLbound, rgsabound[0].cElements);
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    return createArray(vt, lLbound, cElements);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa) return S_OK;
    if (lockCount(psa).load() > 0) return DISP_E_ARRAYISLOCKED;
    clearElements(psa);
    if (psa->fFeatures & kFreeNothing) return S_OK;
    std::free(psa->pvData);
    psa->pvData = nullptr;
    std::free(hiddenOf(psa));
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!psa || !ppvData) return E_INVALIDARG;
    auto locks = lockCount(psa);
    ULONG current = locks.load();
    do {
        if (current >= kMaxLocks) {
            *ppvData = nullptr;
            return E_UNEXPECTED;
        }
    } while (!locks.compare_exchange_weak(current, current + 1));
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    auto locks = lockCount(psa);
    ULONG current = locks.load();
    do {
        if (current == 0) return E_UNEXPECTED;
    } while (!locks.compare_exchange_weak(current, current - 1));
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (!psa || !plLbound) return E_INVALIDARG;
    if (nDim != 1 || psa->cDims != 1) return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (!psa || !plUbound) return E_INVALIDARG;
    if (nDim != 1 || psa->cDims != 1) return DISP_E_BADINDEX;
    // Computed in 64 bits and truncated, as the 32-bit sum wraps on Windows.
    int64_t upper = int64_t{psa->rgsabound[0].lLbound} + psa->rgsabound[0].cElements - 1;
    *plUbound = static_cast<LONG>(upper);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
    return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (!psa || !pvt) return E_INVALIDARG;
    if (psa->fFeatures & FADF_HAVEIID) {
        *pvt = (psa->fFeatures & FADF_DISPATCH) ? VT_DISPATCH : VT_UNKNOWN;
        return S_OK;
    }
    if (psa->fFeatures & FADF_HAVEVARTYPE) {
        DWORD value;
        std::memcpy(&value, hiddenOf(psa) + kHiddenBytes - sizeof value, sizeof value);
        *pvt = static_cast<VARTYPE>(value);
        return S_OK;
    }
    return E_INVALIDARG;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (!ppsaOut) return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa) return S_OK;
    VARTYPE vt;
    if (psa->cDims != 1 || FAILED(SafeArrayGetVartype(psa, &vt))) return E_INVALIDARG;
    if (elementSize(vt) != psa->cbElements) return E_INVALIDARG;

    SAFEARRAY* copy = createArray(vt, psa->rgsabound[0].lLbound, psa->rgsabound[0].cElements);
    if (!copy) return E_OUTOFMEMORY;
    size_t n = elementCount(psa);
    if (n > 0 && !psa->pvData) {
        SafeArrayDestroy(copy);
        return E_INVALIDARG;
    }

    HRESULT hr = S_OK;
    if (vt == VT_BSTR) {
        auto* from = static_cast<BSTR*>(psa->pvData);
        auto* to = static_cast<BSTR*>(copy->pvData);
        for (size_t i = 0; i < n && SUCCEEDED(hr); ++i) {
            if (!from[i]) continue;
            to[i] = SysAllocStringByteLen(reinterpret_cast<const char*>(from[i]),
                                          SysStringByteLen(from[i]));
            if (!to[i]) hr = E_OUTOFMEMORY;
        }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        auto* from = static_cast<IUnknown**>(psa->pvData);
        auto* to = static_cast<IUnknown**>(copy->pvData);
        for (size_t i = 0; i < n; ++i) {
            to[i] = from[i];
            if (to[i]) to[i]->AddRef();
        }
    } else if (vt == VT_VARIANT) {
        auto* from = static_cast<VARIANT*>(psa->pvData);
        auto* to = static_cast<VARIANT*>(copy->pvData);
        for (size_t i = 0; i < n && SUCCEEDED(hr); ++i) hr = VariantCopy(&to[i], &from[i]);
    } else if (n > 0) {
        std::memcpy(copy->pvData, psa->pvData, n * psa->cbElements);
    }

    if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
    }
    *ppsaOut = copy;
    return S_OK;
}

}  // extern "C"
