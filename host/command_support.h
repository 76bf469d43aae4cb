// What the commands of `vantrel` share: their output, the paths and folders they are given, the
// registry check before anything changes, and the surroundings a command that loads the module
// runs in (COM, and the work folder for the module's debug copies).
//
// Not thread-safe: ScopedWorkFolder changes the process's current folder, and ComScope sets up
// the calling thread only.
#pragma once

#include <string>

#include "platform/com.h"

namespace vt::host {

// The data store whose plug-in the host loads.
inline constexpr char16_t kDataStore[] = u"Notes";
// A phone named without --imei, and its alias when the host has no record of it.
inline constexpr char16_t kDefaultImei[] = u"350000000000001";
inline constexpr char16_t kDefaultAlias[] = u"phone";

// A line on standard output.
void out(const std::u16string& text);
// "vantrel: " + text on standard error.
void err(const std::u16string& text);

// A path from the command line made absolute against the current folder ("./" dropped), so that
// it keeps its meaning once ScopedWorkFolder has moved the process.
std::u16string absolutePath(const std::u16string& p);
// True when path is an existing folder.
bool isDirectory(const std::u16string& path);

// True when the registry accepts changes; otherwise says why on standard error. Every command
// that may change something asks first, so that a damaged registry file is left as it is.
bool registryUsable();

// COM for the commands that load the module, on the calling thread.
class ComScope {
  public:
    // A single-threaded apartment, as a desktop host has: the module is an "Apartment" server,
    // so its objects come back unmarshalled.
    ComScope();
    ~ComScope();
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

  private:
    HRESULT hr_;
};

// Moves the process into <host home>/received-items, where the module's debug copies of
// received items land (it writes them into the current folder), and back. Stays where it is
// when that folder can't be made.
class ScopedWorkFolder {
  public:
    ScopedWorkFolder();
    ~ScopedWorkFolder();
    ScopedWorkFolder(const ScopedWorkFolder&) = delete;
    ScopedWorkFolder& operator=(const ScopedWorkFolder&) = delete;

  private:
    std::u16string old_;
};

}  // namespace vt::host
