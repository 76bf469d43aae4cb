// BSTR allocation with the 64-bit Windows memory layout.
//
// A BSTR points at UTF-16 text that is preceded by a 32-bit count of its bytes (without the
// terminator) and followed by a zero OLECHAR. As on 64-bit Windows the block starts with four
// bytes of padding before the count, so the text is 8-byte aligned. The count may be odd when the
// string was made with SysAllocStringByteLen.
//
// Thread safety: every function is safe to call from any thread; a given BSTR is not protected.

#include <vtcom/comtypes.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kHeaderBytes = 8;      // padding + 32-bit byte count
constexpr size_t kTerminatorBytes = 2;  // one zero OLECHAR
// The largest byte count whose block size still fits the 32-bit count the way Windows checks.
constexpr size_t kMaxBytes = UINT_MAX - kHeaderBytes - kTerminatorBytes - 1;

char* blockOf(BSTR s) {
    return reinterpret_cast<char*>(s) - kHeaderBytes;
}

// Allocates a BSTR of byteLen bytes, copies them from source when it is not null (otherwise the
// content is left uninitialised) and writes the terminator. Null when out of memory.
BSTR allocBytes(const void* source, size_t byteLen) {
    if (byteLen > kMaxBytes) return nullptr;
    // Room for a whole terminating OLECHAR even when byteLen is odd.
    size_t blockSize = kHeaderBytes + byteLen + kTerminatorBytes + (byteLen & 1);
    char* block = static_cast<char*>(std::malloc(blockSize));
    if (!block) return nullptr;
    std::memset(block, 0, 4);
    uint32_t count = static_cast<uint32_t>(byteLen);
    std::memcpy(block + 4, &count, sizeof count);
    char* text = block + kHeaderBytes;
    if (source) std::memcpy(text, source, byteLen);
    std::memset(text + byteLen, 0, kTerminatorBytes + (byteLen & 1));
    return reinterpret_cast<BSTR>(text);
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    size_t len = 0;
    while (psz[len]) ++len;
    return allocBytes(psz, len * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    return allocBytes(strIn, size_t{ui} * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) {
    return allocBytes(psz, len);
}

void SysFreeString(BSTR bstrString) {
    if (bstrString) std::free(blockOf(bstrString));
}

UINT SysStringByteLen(BSTR bstr) {
    if (!bstr) return 0;
    uint32_t count;
    std::memcpy(&count, reinterpret_cast<char*>(bstr) - sizeof count, sizeof count);
    return count;
}

UINT SysStringLen(BSTR pbstr) {
    return SysStringByteLen(pbstr) / sizeof(OLECHAR);
}

}  // extern "C"
