// Reads single registry values for the language loader. Thread-safe.
#pragma once

#include <string>

#include "platform/registry.h"

namespace vt {

class CRegistryHandler {
  public:
    CRegistryHandler();
    virtual ~CRegistryHandler();
    // Reads a value of any type with a 256-byte buffer; value is empty when that fails.
    static bool ReadValue(plat::RegRoot keyTarget, const std::u16string& strSubKey,
                          const std::u16string& strValueHeader, std::u16string& strValue);
};

}  // namespace vt
