// Folder and registry functions shared by the module. Stateless and thread-safe. Paths use the
// platform's separator.
#pragma once

#include <string>

#include "platform/file.h"
#include "platform/registry.h"

namespace vt {

class CFolderUtils {
  public:
    // Creates the folder and its missing parents; true when the folder exists afterwards.
    static bool ensureFolderExists(const std::u16string& path);
    // Reads a REG_SZ value (260-byte buffer); false, with a log line, when it can't.
    static bool readRegistryKeyStringValue(plat::RegRoot root, const std::u16string& subKey,
                                           const std::u16string& valueName, std::u16string* value);
    // The folder of the hosting program's executable, without a trailing separator.
    static std::u16string getHostExeFolder();
    // "Root" (HKCU\Software\Orvane\Morvex) + alias when that is an existing folder, else empty.
    static std::u16string getPhoneRootFolder(const std::u16string& unused,
                                             const std::u16string& alias);
    // Every separator-ended piece of path but the last: "/a/b.txt" gives "/a/".
    static std::u16string getFolderOfPath(const std::u16string& path);
};

// A readable text for a file exception (null gives "is null").
std::u16string describeFileException(const plat::FileException* e, bool withSystemText);

}  // namespace vt
