// Converts between byte buffers and VARIANTs holding one-dimensional arrays of unsigned bytes
// (VT_ARRAY | VT_UI1, lower bound 0). Not thread-safe.
#pragma once

#include <cstdint>

#include "platform/com.h"

namespace vt {

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
