// Files of the operating system: open with share modes, positioned reads and writes, status,
// copy, delete, rename, folders and attributes.
//
// Errors: the File methods throw FileException, which carries the portable cause code (the
// classic file-exception causes 0 to 14), the OS error code and the file name; the free
// functions return 0 or the OS error code. A File object is not thread-safe; the functions are.
//
// Share modes. An open that conflicts with one that holds the file, in this process or
// another, fails with a sharing violation (kCauseSharingViolation). On Windows the share modes
// are the file system's own. On Linux they are advisory locks (flock) held until the File is
// closed: Exclusive, and DenyWrite with write access (Write, ReadWrite, or Read with
// CreateAlways, which cuts the file), take LOCK_EX; DenyWrite for reading only, and DenyNone,
// take LOCK_SH. So on both, nothing else opens a file held exclusively; while one holds a file
// for writing and denies writers, no other open that writes or denies writers succeeds; and
// such a writer is refused while another holds the file. Where Linux still differs:
//   - a reader that denies writers (Read + DenyWrite) and a writer that denies nobody
//     (Write or ReadWrite + DenyNone) both get the file, in either order; Windows refuses the
//     second;
//   - a reader that denies nobody (Read + DenyNone) and a writer that denies writers exclude
//     each other, in either order; Windows lets them share;
//   - programs that do not go through this layer are not stopped (on NFS, flock becomes a
//     record lock that never conflicts within one process).
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace vt::plat {

// Portable causes of a file failure.
enum FileCause : int {
    kCauseNone = 0,
    kCauseGeneric = 1,
    kCauseFileNotFound = 2,
    kCauseBadPath = 3,
    kCauseTooManyOpenFiles = 4,
    kCauseAccessDenied = 5,
    kCauseInvalidFile = 6,
    kCauseRemoveCurrentDir = 7,
    kCauseDirectoryFull = 8,
    kCauseBadSeek = 9,
    kCauseHardIO = 10,
    kCauseSharingViolation = 11,
    kCauseLockViolation = 12,
    kCauseDiskFull = 13,
    kCauseEndOfFile = 14,
};

class FileException : public std::exception {
  public:
    FileException(int cause, int osError, std::u16string fileName)
        : cause_(cause), osError_(osError), fileName_(std::move(fileName)) {}
    // Builds the exception for an OS error code, choosing its cause.
    static FileException fromOsError(int osError, std::u16string fileName);

    int cause() const { return cause_; }
    int osError() const { return osError_; }
    const std::u16string& fileName() const { return fileName_; }
    const char* what() const noexcept override { return "file exception"; }

  private:
    int cause_;
    int osError_;
    std::u16string fileName_;
};

// File attribute bits, with the Windows values.
enum FileAttribute : uint32_t {
    kAttrReadOnly = 0x1,
    kAttrHidden = 0x2,
    kAttrSystem = 0x4,
    kAttrDirectory = 0x10,
    kAttrArchive = 0x20,
    kAttrNormal = 0x80,
};

struct FileStatus {
    bool isDirectory = false;
    uint64_t size = 0;
    int64_t lastWriteTime = 0;  // seconds since 1970 (UTC), whole seconds
    uint32_t attributes = 0;
};

enum class Access { Read, Write, ReadWrite };
enum class Disposition {
    OpenExisting,  // fail when missing
    CreateAlways,  // create, or cut an existing file to length 0
    OpenAlways,    // create when missing, never truncate
    CreateNew,     // fail when it exists
};
enum class Share { Exclusive, DenyWrite, DenyNone };

// Conditions of an open besides access, disposition and share mode; combined with |.
enum OpenOption : uint32_t {
    kOpenPlain = 0,
    // Fails when the path's last part is a symbolic link (on Windows, any reparse point)
    // instead of opening, creating or cutting what it leads to: cause 3 (bad path; ELOOP on
    // Linux, ERROR_CANT_RESOLVE_FILENAME on Windows). For files in a folder that others can
    // write to. Links earlier in the path are followed.
    kOpenNoFollow = 0x1,
};

class File {
  public:
    File() = default;
    File(File&& o) noexcept;
    File& operator=(File&& o) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();  // closes, ignoring errors

    // Throws FileException. options: OpenOption bits.
    void open(const std::u16string& path, Access access, Disposition disposition, Share share,
              uint32_t options = kOpenPlain);
    // Returns false and fills *error (when given) instead of throwing.
    bool tryOpen(const std::u16string& path, Access access, Disposition disposition, Share share,
                 FileException* error = nullptr, uint32_t options = kOpenPlain);
    bool isOpen() const { return handle_ != kInvalid; }
    const std::u16string& path() const { return path_; }

    // Reads up to n bytes at offset; returns the count read (less only at the end of file).
    size_t readAt(uint64_t offset, void* buf, size_t n);
    // Writes all n bytes at offset or throws.
    void writeAt(uint64_t offset, const void* buf, size_t n);
    // Sequential access from the current position.
    size_t read(void* buf, size_t n) {
        size_t got = readAt(position_, buf, n);
        position_ += got;
        return got;
    }
    void write(const void* buf, size_t n) {
        writeAt(position_, buf, n);
        position_ += n;
    }
    void seek(uint64_t offset);

    uint64_t length() const;
    void setLength(uint64_t n);
    // Makes the file system set aside space for bytes [offset, offset + n) without changing
    // the file's length, so that later writes there do not fail for lack of space. Returns
    // without doing anything where the file system offers no reservation. Space reserved
    // beyond the end may stay allocated until the file grows over it or its length is set.
    // Throws FileException (a full disk among others); a fault point of kind SetLength.
    void reserve(uint64_t offset, uint64_t n);
    FileStatus status() const;
    // Makes written data durable (fsync / FlushFileBuffers). The file must be open for writing
    // (Windows refuses to flush a handle opened only for reading).
    void flush();
    // Throws on a failing close; the handle is gone either way.
    void close();

  private:
    static constexpr intptr_t kInvalid = -1;
    [[noreturn]] void fail(int osError) const;
    // Closes a native handle, ignoring errors (backend).
    static void closeQuietly(intptr_t handle) noexcept;
    intptr_t handle_ = kInvalid;
    uint64_t position_ = 0;
    std::u16string path_;
};

// The status of a path; false when it cannot be read (missing, no access).
bool getFileStatus(const std::u16string& path, FileStatus* status);

// Which file a path leads to. Paths that name the same file have equal identities whatever
// their spelling (another case on a file system that ignores case, "." components, a hard link, a
// symbolic link followed); two files that exist at the same time never do.
struct FileIdentity {
    uint64_t volume = 0;  // st_dev on Linux, the volume serial number on Windows
    uint64_t index = 0;   // st_ino on Linux, the file index on Windows
    auto operator<=>(const FileIdentity&) const = default;
};
// The identity of the existing file or folder at path; false when it cannot be read (missing,
// no access). Opens nothing that a share mode could refuse.
bool getFileIdentity(const std::u16string& path, FileIdentity* identity);
// True when a and b name the same existing file.
bool isSameFile(const std::u16string& a, const std::u16string& b);

// Each returns 0 or the OS error code.
int copyFile(const std::u16string& from, const std::u16string& to, bool failIfExists);
// Refuses a read-only file, as Windows does. A symbolic link (also one to a folder) is removed
// itself, never what it leads to.
int removeFile(const std::u16string& path);
// What renameFile may assume about its source.
enum class RenameSource {
    Any,
    // The caller made the file itself and has closed it; nobody else knows its name. Spares the
    // checks that another program holds it open (a handful of system calls per note).
    OwnClosedFile,
};
// Replaces an existing target atomically. Like Windows, refuses to move a file that another
// program holds open, or to replace a read-only or open target.
int renameFile(const std::u16string& from, const std::u16string& to,
               RenameSource source = RenameSource::Any);
// renameFile, then makes the rename itself durable (flushes the folder).
int replaceFileDurably(const std::u16string& from, const std::u16string& to);
// Makes everything written so far to the file system that holds path durable: contents, new
// names, renames and removals (syncfs on Linux), one flush for many files. 0 or the OS error
// code; where no such flush exists it answers an error and the caller flushes file by file.
int flushFileSystem(const std::u16string& path);
// Who may use the folders that createDirectory and createFolders make. On Linux a Default
// folder gets mode 0777 and an OwnerOnly one 0700, both less the process's umask; on Windows a
// new folder takes the permissions its parent passes on either way.
enum class FolderAccess { Default, OwnerOnly };
int createDirectory(const std::u16string& path, FolderAccess access = FolderAccess::Default);
// Creates path and the folders above it that are missing, each with access; 0 when path is a
// folder afterwards, else the OS error (ENOTDIR / ERROR_DIRECTORY when a file is in the way).
int createFolders(const std::u16string& path, FolderAccess access = FolderAccess::Default);
int removeDirectory(const std::u16string& path);
int getFileAttributes(const std::u16string& path, uint32_t* attributes);
// Sets read-only, hidden and system; the directory bit is ignored.
int setFileAttributes(const std::u16string& path, uint32_t attributes);

// True when code is the OS error for a missing file or folder.
bool isNotFoundError(int osError);
// The OS error for a refused share mode.
bool isSharingViolation(int osError);
// The OS error for "a file is where a folder should be".
int notADirectoryError();
// The OS error for "a folder is where a file should be": what opening a folder as a file for
// writing answers (EISDIR; on Windows ERROR_ACCESS_DENIED, which opening it for reading
// answers too).
int notAFileError();

}  // namespace vt::plat
