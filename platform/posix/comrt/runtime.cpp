// The well-known interface identifiers, the COM task allocator and the per-thread COM
// initialisation count.
//
// Thread safety: the allocator may be used from any thread. CoInitializeEx and CoUninitialize
// keep their count per thread, as on Windows.

#include <vtcom/comtypes.h>

#include <cstdlib>

extern "C" {

const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

LPVOID CoTaskMemAlloc(SIZE_T cb) {
    // A request for nothing still gives a distinct block that CoTaskMemFree accepts.
    return std::malloc(cb ? cb : 1);
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    if (!pv) return CoTaskMemAlloc(cb);
    if (cb == 0) {
        std::free(pv);
        return nullptr;
    }
    return std::realloc(pv, cb);
}

void CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

}  // extern "C"

namespace {

struct ThreadApartment {
    unsigned count = 0;
    DWORD model = COINIT_MULTITHREADED;
};
thread_local ThreadApartment tApartment;

}  // namespace

extern "C" {

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved) return E_INVALIDARG;
    // Only the apartment model matters; the other flags (COINIT_DISABLE_OLE1DDE,
    // COINIT_SPEED_OVER_MEMORY) have nothing to act on here.
    DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    ThreadApartment& apartment = tApartment;
    if (apartment.count > 0 && apartment.model != model) return RPC_E_CHANGED_MODE;
    apartment.model = model;
    return apartment.count++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize(void) {
    // An unmatched call is ignored, as on Windows.
    if (tApartment.count > 0) --tApartment.count;
}

}  // extern "C"
