// Runs a registration script in the registrar syntax of COM servers:
//
//   HKCR { NoRemove CLSID { ForceRemove {guid} = s 'Name' { InprocServer32 = s '%MODULE%'
//          { val ThreadingModel = s 'Apartment' } } } }
//
// Registration creates every key and value; a ForceRemove key is first removed whole.
// Unregistration removes what the script names, children first: ForceRemove keys with
// everything below them, plain keys when nothing is left below them, NoRemove keys never; a
// refused removal makes it fail (after it removed what it could), a key kept for what is
// left below it doesn't.
// Values are "s 'text'" (REG_SZ) or "d 'number'" (REG_DWORD). %NAME% markers in texts are
// replaced from the given map. Thread-safe (no shared state).
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/com.h"

namespace vt {

// S_OK, or SELFREG_E_CLASS (registry refused a change) / E_INVALIDARG (script malformed).
HRESULT runRegistrationScript(std::u16string_view script, bool install,
                              const std::map<std::u16string, std::u16string>& replacements);

}  // namespace vt
