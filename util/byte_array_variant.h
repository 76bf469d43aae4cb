// Converts between byte buffers and VARIANTs holding one-dimensional arrays of unsigned bytes
// (VT_ARRAY | VT_UI1, lower bound 0). ByteArrayVariant is not thread-safe; the free functions
// keep no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com.h"
#include "platform/com_raii.h"

namespace vt {

// The bytes of a VT_ARRAY|VT_UI1 VARIANT with lower bound 0 (VT_EMPTY: none); false for any
// other VARIANT. The form in which engines take item contents.
bool variantBytes(const VARIANT& v, std::string* out);
// A VT_ARRAY|VT_UI1 VARIANT (lower bound 0) holding a copy of bytes, also for none. False when
// the array can't be made.
bool bytesVariant(std::string_view bytes, unique_variant* out);

class ByteArrayVariant {
  public:
    ByteArrayVariant();
    virtual ~ByteArrayVariant();
    ByteArrayVariant(const ByteArrayVariant&) = delete;
    ByteArrayVariant& operator=(const ByteArrayVariant&) = delete;

    // Fills out with a copy of the bytes. A null data pointer gives false; a size of 0 gives
    // true and leaves out as it was.
    bool fromBytes(const uint8_t* data, uint32_t size, VARIANT* out);
    // A new buffer from the COM task allocator (one spare byte at the end) holding the array's
    // bytes, or null; *size is set on success. Free it with freeBytes.
    uint8_t* toBytes(const VARIANT& in, uint32_t* size);
    static void freeBytes(uint8_t* buffer);

  private:
    VARIANT held_;
};

}  // namespace vt
