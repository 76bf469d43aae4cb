// VARIANT initialisation, clearing, deep copying and the one supported type change (to a
// one-dimensional byte array).
//
// Thread safety: every function is safe to call from any thread; a given VARIANT is not
// protected.

#include <vtcom/comtypes.h>

#include <cstring>

namespace {

constexpr VARTYPE kByteArray = VT_ARRAY | VT_UI1;

// DISP_E_BADVARTYPE for a type tag no VARIANT can carry: an unknown base type, a modifier other
// than VT_ARRAY or VT_BYREF, or an array of or reference to VT_EMPTY or VT_NULL.
HRESULT validateType(VARTYPE vt) {
    VARTYPE base = vt & VT_TYPEMASK;
    VARTYPE extra = vt & ~VT_TYPEMASK;
    if (extra & ~(VT_ARRAY | VT_BYREF)) return DISP_E_BADVARTYPE;
    if (base > VT_UINT || base == 15) return DISP_E_BADVARTYPE;
    if (extra && base <= VT_NULL) return DISP_E_BADVARTYPE;
    return S_OK;
}

// Fills out (which holds nothing) with the byte array that src converts to.
HRESULT toByteArray(const VARIANT& src, VARIANT* out) {
    const VARIANT* value = &src;
    if (src.vt == (VT_BYREF | VT_VARIANT)) {
        if (!src.pvarVal) return E_INVALIDARG;
        value = src.pvarVal;
        if (value->vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;
    }

    SAFEARRAY* array = nullptr;
    switch (value->vt) {
        case kByteArray:
        case kByteArray | VT_BYREF: {
            SAFEARRAY* from = value->parray;
            if (value->vt & VT_BYREF) {
                if (!value->byref) return E_INVALIDARG;
                from = *static_cast<SAFEARRAY**>(value->byref);
            }
            HRESULT hr = SafeArrayCopy(from, &array);
            if (FAILED(hr)) return hr;
            break;
        }
        case VT_BSTR:
        case VT_BSTR | VT_BYREF: {
            BSTR text = value->bstrVal;
            if (value->vt & VT_BYREF) {
                if (!value->pbstrVal) return E_INVALIDARG;
                text = *value->pbstrVal;
            }
            // The string's raw bytes, an odd trailing byte included.
            UINT bytes = SysStringByteLen(text);
            array = SafeArrayCreateVector(VT_UI1, 0, bytes);
            if (!array) return E_OUTOFMEMORY;
            if (bytes) std::memcpy(array->pvData, text, bytes);
            break;
        }
        default:
            return SUCCEEDED(validateType(value->vt)) ? DISP_E_TYPEMISMATCH : DISP_E_BADVARTYPE;
    }
    out->vt = kByteArray;
    out->parray = array;
    return S_OK;
}

}  // namespace

extern "C" {

void VariantInit(VARIANTARG* pvarg) {
    if (pvarg) pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (!pvarg) return E_INVALIDARG;
    HRESULT hr = validateType(pvarg->vt);
    if (FAILED(hr)) return hr;
    VARTYPE vt = pvarg->vt;
    if (vt & VT_BYREF) {
        // References point at storage the VARIANT does not own.
    } else if (vt & VT_ARRAY) {
        hr = SafeArrayDestroy(pvarg->parray);
        if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
        SysFreeString(pvarg->bstrVal);
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (pvarg->punkVal) pvarg->punkVal->Release();
    }
    pvarg->vt = VT_EMPTY;
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    HRESULT hr = validateType(pvargSrc->vt);
    if (FAILED(hr)) return hr;
    if (pvargDest == pvargSrc) return S_OK;
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) return hr;

    VARIANT copy = *pvargSrc;
    VARTYPE vt = copy.vt;
    if (vt & VT_BYREF) {
        // A reference is copied as the pointer it is.
    } else if (vt & VT_ARRAY) {
        hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
    } else if (vt == VT_BSTR) {
        if (BSTR s = pvargSrc->bstrVal) {
            copy.bstrVal =
                SysAllocStringByteLen(reinterpret_cast<const char*>(s), SysStringByteLen(s));
            if (!copy.bstrVal) hr = E_OUTOFMEMORY;
        }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (copy.punkVal) copy.punkVal->AddRef();
    }
    if (FAILED(hr)) return hr;  // the destination stays VT_EMPTY
    *pvargDest = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    HRESULT hr = validateType(pvarSrc->vt);
    if (FAILED(hr)) return hr;
    hr = validateType(vt);
    if (FAILED(hr)) return hr;
    if (vt != kByteArray) return DISP_E_TYPEMISMATCH;

    // Converted into a temporary first, so that the destination may be the source and is only
    // touched when the conversion has worked.
    VARIANT result;
    VariantInit(&result);
    hr = toByteArray(*pvarSrc, &result);
    if (FAILED(hr)) return hr;
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}

}  // extern "C"
