#include "util/byte_array_variant.h"

#include <cstring>

namespace vt {

bool variantBytes(const VARIANT& v, std::string* out) {
    out->clear();
    if (v.vt == VT_EMPTY) return true;
    if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray || SafeArrayGetDim(v.parray) != 1) return false;
    LONG lower = 0;
    if (FAILED(SafeArrayGetLBound(v.parray, 1, &lower)) || lower != 0) return false;
    safearray_data_lock<const char> lock(v.parray);
    if (!lock.ok()) return false;
    out->assign(lock.data(), lock.size());
    return true;
}

bool bytesVariant(std::string_view bytes, unique_variant* out) {
    unique_safearray psa(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
    if (!psa) return false;
    if (!bytes.empty()) {
        safearray_data_lock<uint8_t> lock(psa.get());
        if (!lock.ok()) return false;
        std::memcpy(lock.data(), bytes.data(), bytes.size());
    }
    VARIANT* v = out->put();
    v->vt = VT_ARRAY | VT_UI1;
    v->parray = psa.release();
    return true;
}

ByteArrayVariant::ByteArrayVariant() {
    VariantInit(&held_);
}

ByteArrayVariant::~ByteArrayVariant() {
    VariantClear(&held_);
}

bool ByteArrayVariant::fromBytes(const uint8_t* data, uint32_t size, VARIANT* out) {
    if (!data) return false;
    VariantClear(&held_);
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, size);
    if (!psa) return false;
    held_.vt = VT_ARRAY | VT_UI1;
    held_.parray = psa;
    void* raw = nullptr;
    if (FAILED(SafeArrayAccessData(psa, &raw))) return false;
    if (size == 0) {
        SafeArrayUnaccessData(psa);
        return true;
    }
    std::memcpy(raw, data, size);
    SafeArrayUnaccessData(psa);
    return SUCCEEDED(VariantCopy(out, &held_));
}

uint8_t* ByteArrayVariant::toBytes(const VARIANT& in, uint32_t* size) {
    VariantClear(&held_);
    // Windows declares the source of VariantCopy without const; it is only read.
    if (FAILED(VariantCopy(&held_, const_cast<VARIANT*>(&in)))) return nullptr;
    if (FAILED(VariantChangeType(&held_, &held_, 0, VT_ARRAY | VT_UI1))) return nullptr;
    SAFEARRAY* psa = held_.parray;
    if (!psa || SafeArrayGetDim(psa) != 1) return nullptr;
    LONG lower = 0, upper = 0;
    if (FAILED(SafeArrayGetLBound(psa, 1, &lower)) || lower != 0) return nullptr;
    if (FAILED(SafeArrayGetUBound(psa, 1, &upper))) return nullptr;
    void* raw = nullptr;
    if (FAILED(SafeArrayAccessData(psa, &raw))) return nullptr;
    const uint32_t count = static_cast<uint32_t>(upper + 1);
    auto* buffer = static_cast<uint8_t*>(CoTaskMemAlloc(static_cast<SIZE_T>(count) + 1));
    if (buffer && count) std::memcpy(buffer, raw, count);
    SafeArrayUnaccessData(psa);
    if (!buffer) return nullptr;
    *size = count;
    return buffer;
}

void ByteArrayVariant::freeBytes(uint8_t* buffer) {
    if (buffer) CoTaskMemFree(buffer);
}

}  // namespace vt
