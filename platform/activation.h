// Creating objects of in-process COM servers, as a host does.
//
// Windows: COM's own activation (CoCreateInstance with CLSCTX_INPROC_SERVER), which finds the
// server's module through the registry's InprocServer32 entry; the calling thread must have
// entered a single-threaded apartment for the object to come back unmarshalled. Linux: the
// module the caller loaded is asked for its class object directly. Thread-safe.
#pragma once

#include "platform/com.h"
#include "platform/system.h"

namespace vt::plat {

// Creates an object of class clsid and answers its interface riid in *ppv. module is the
// server's module as the caller loaded it (it must stay loaded while the object lives).
HRESULT createServerObject(SharedLibrary& module, const CLSID& clsid, const IID& riid, void** ppv);

// The class a ProgID names (HKCR\PROGID\CLSID): CLSIDFromProgID on Windows, the same registry
// reading on Linux. REGDB_E_CLASSNOTREG when none is registered.
HRESULT classIdFromProgId(const std::u16string& progId, CLSID* clsid);

}  // namespace vt::plat
