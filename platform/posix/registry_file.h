// Internal to the Linux backend: the registry file on disk, apart from what it holds. Reads it
// whole, tells by its signature whether it changed since, replaces it atomically and durably,
// and takes the lock file that lets one process at a time change it. The text inside is
// common/registry_text.h's; what to read and when is posix/registry.cpp's.
//
// Thread-safe: the functions keep no state. A RegistryFileLock is one owner's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace vt::plat::posix {

// One version of the file: its device, inode, size and modification time in nanoseconds.
// Another process's change gives the file another signature, since replaceRegistryFile gives
// each version a modification time later than the one before, even where the file system reuses
// the inode.
struct FileSignature {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const FileSignature&) const = default;
};

// The signature of the file at path, following symbolic links; 0 or an errno (ENOENT or
// ENOTDIR when there is none).
int registryFileSignature(const std::string& path, FileSignature* sig);

// The file's bytes, and the signature of the version they were read from; 0 or an errno
// (EISDIR for a folder).
int readRegistryFile(const std::string& path, std::string* bytes, FileSignature* sig);

// Makes bytes the file's content, so that a reader sees the old version or the new one, never a
// mix, and a crash at any point leaves one of them whole: they are written to a temporary file
// beside it, synced, renamed over it, and the folder is synced. A symbolic link at path stays
// and the file it leads to is replaced. The new version keeps the old one's mode (0600 for a new
// file). 0, with the new version's signature in *sig, or an errno: the old version then stays,
// unless the new one was in place and only its signature could not be read.
int replaceRegistryFile(const std::string& path, const std::string& bytes, FileSignature* sig);

// An exclusive flock on a lock file beside the registry file, which makes the processes that
// change the registry take turns. The lock file is made when missing and stays. The lock is
// released when the object goes.
class RegistryFileLock {
  public:
    RegistryFileLock() = default;
    ~RegistryFileLock();
    RegistryFileLock(const RegistryFileLock&) = delete;
    RegistryFileLock& operator=(const RegistryFileLock&) = delete;

    // Waits until the lock on lockPath is this object's; 0 or an errno. Once only.
    int lock(const std::string& lockPath);

  private:
    int fd_ = -1;
};

}  // namespace vt::plat::posix
