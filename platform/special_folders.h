// Well-known folders. Thread-safe.
//
// Linux: application data is $VANTREL_HOME/AppData when VANTREL_HOME is set, else the XDG data
// home ($XDG_DATA_HOME or ~/.local/share). Windows: %VANTREL_HOME%\AppData when VANTREL_HOME is
// set, else CSIDL_APPDATA.
#pragma once

#include <cstdint>
#include <string>

namespace vt::plat {

// The per-user application-data folder; created when create is set. Returns 0 or an OS error.
int32_t appDataFolder(bool create, std::u16string* folder);

// Full path of the running program's executable (not of a loaded module); empty on failure.
std::u16string hostExecutablePath();

// Full path of the binary (executable or shared module) that contains this code.
std::u16string currentModulePath();

// The folder for the logger's files, ending in a separator: TMP when it names an existing
// folder, else the platform's default temporary folder.
std::u16string loggerTempFolder();

}  // namespace vt::plat
