// Type libraries of COM servers: registering the one a module carries and removing it again.
//
// On Windows the type library is the module's resource TYPELIB 1 and goes into the system's
// TypeLib registration, so that the standard marshaller can carry the module's interfaces
// between apartments. Linux has no type-library marshalling; there both calls succeed without
// doing anything. Thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com.h"

namespace vt::plat {

// Registers the type library embedded in the module file at modulePath.
HRESULT registerTypeLibrary(const std::u16string& modulePath);

// Removes the registration of a type library. A library that is not registered counts as
// removed (S_OK).
HRESULT unregisterTypeLibrary(const GUID& libid, uint16_t major, uint16_t minor, uint32_t lcid);

}  // namespace vt::plat
