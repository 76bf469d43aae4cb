// Files on Linux. Share modes are flock locks held for the life of the open file; attributes are
// the owner write bit plus the stored bits of file_attributes.h. Functions that Windows refuses
// for a file that someone has open (remove, rename) are refused here too when a File of this
// layer holds it, found by a non-blocking exclusive lock probe.
#include "platform/file.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "platform/fault.h"
#include "platform/posix/file_attributes.h"
#include "platform/text.h"

namespace vt::plat {

namespace posix {

namespace {

constexpr uint32_t kStoredForFile = kAttrHidden | kAttrSystem;
constexpr uint32_t kStoredForFolder = kAttrHidden | kAttrSystem | kAttrReadOnly;

uint32_t parseStored(const char* buf, ssize_t n) {
    uint32_t bits = 0;
    for (ssize_t i = 0; i < n && buf[i] >= '0' && buf[i] <= '9' && bits < 0x10000000u; ++i)
        bits = bits * 10 + static_cast<uint32_t>(buf[i] - '0');
    return bits & kStoredForFolder;
}

}  // namespace

uint32_t attributesFromStat(const struct stat& st, uint32_t stored) {
    uint32_t a = 0;
    if (S_ISDIR(st.st_mode)) {
        a = kAttrDirectory | (stored & kStoredForFolder);
    } else {
        if (!(st.st_mode & S_IWUSR)) a |= kAttrReadOnly;
        a |= stored & kStoredForFile;
    }
    return a == 0 ? kAttrNormal : a;
}

uint32_t readStoredAttributes(const char* path) {
    char buf[16];
    ssize_t n = getxattr(path, kStoredAttributesName, buf, sizeof buf);
    return n > 0 ? parseStored(buf, n) : 0;
}

uint32_t readStoredAttributes(int fd) {
    char buf[16];
    ssize_t n = fgetxattr(fd, kStoredAttributesName, buf, sizeof buf);
    return n > 0 ? parseStored(buf, n) : 0;
}

bool folderHasEntryHint(const char* folder) {
    char buf[4];
    return getxattr(folder, kEntryHintName, buf, sizeof buf) >= 0 || errno == ERANGE;
}

void markEntryHint(const std::string& path) {
    std::string folder = parentFolder(path);
    if (!folderHasEntryHint(folder.c_str()))
        setxattr(folder.c_str(), kEntryHintName, "1", 1, XATTR_CREATE);
}

std::string parentFolder(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return "/";
    size_t slash = path.rfind('/', end);
    if (slash == std::string::npos) return ".";
    size_t last = path.find_last_not_of('/', slash);
    return last == std::string::npos ? "/" : path.substr(0, last + 1);
}

}  // namespace posix

namespace {

using posix::attributesFromStat;
using posix::readStoredAttributes;

// Converts a path for the OS; false for a path that no file can have (empty, embedded NUL).
bool nativePath(const std::u16string& path, std::string* out) {
    if (path.empty() || path.find(u'\0') != std::u16string::npos) return false;
    *out = toUtf8(path);
    return true;
}

int openNoIntr(const char* path, int flags, mode_t mode) {
    int fd;
    do fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int flockNoIntr(int fd, int op) {
    int r;
    do r = ::flock(fd, op);
    while (r != 0 && errno == EINTR);
    return r;
}

bool isReadOnlyFile(const struct stat& st) {
    return S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR);
}

// 0 when no File of this layer holds the regular file at path, else EWOULDBLOCK. A file that
// cannot be opened for the probe is left to the operation itself to report.
int probeNotInUse(const char* path) {
    int fd = openNoIntr(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0);
    if (fd < 0) return 0;
    struct stat st;
    int result = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flockNoIntr(fd, LOCK_EX | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK)
        result = EWOULDBLOCK;
    ::close(fd);
    return result;
}

void fillStatus(const struct stat& st, uint32_t stored, FileStatus* status) {
    status->isDirectory = S_ISDIR(st.st_mode);
    status->size = status->isDirectory ? 0 : static_cast<uint64_t>(st.st_size);
    status->lastWriteTime = static_cast<int64_t>(st.st_mtim.tv_sec);
    status->attributes = attributesFromStat(st, stored);
}

// The flock operation that stands for a share mode. Windows refuses a second writer, and any
// open that denies writing, while one holder writes and denies writers; the exclusive lock does
// the same here. Opens that only read, or that deny nobody, share the lock.
int lockFor(Share share, bool writes) {
    return share == Share::Exclusive || (share == Share::DenyWrite && writes) ? LOCK_EX : LOCK_SH;
}

// Opens path for the given access with the share mode's lock, or returns the OS error.
int openLocked(const std::string& path, Access access, Disposition disposition, Share share,
               uint32_t options, int* fdOut) {
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;  // no blocking on a FIFO; cleared below
    if (options & kOpenNoFollow) flags |= O_NOFOLLOW;
    switch (access) {
        case Access::Read:
            // Cutting a file to length 0 needs a writable descriptor.
            flags |= disposition == Disposition::CreateAlways ? O_RDWR : O_RDONLY;
            break;
        case Access::Write:
            flags |= O_WRONLY;
            break;
        case Access::ReadWrite:
            flags |= O_RDWR;
            break;
    }
    switch (disposition) {
        case Disposition::OpenExisting:
            break;
        case Disposition::CreateAlways:  // cut only after the lock is held
        case Disposition::OpenAlways:
            flags |= O_CREAT;
            break;
        case Disposition::CreateNew:
            flags |= O_CREAT | O_EXCL;
            break;
    }
    int fd = openNoIntr(path.c_str(), flags, 0666);
    if (fd < 0) return errno;
    int err = 0;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        err = errno;
    } else if (S_ISDIR(st.st_mode)) {
        err = EISDIR;
    } else if ((flags & O_ACCMODE) != O_RDONLY && isReadOnlyFile(st)) {
        // The owner write bit is the read-only attribute; refuse it even to root.
        err = EACCES;
    } else if (flockNoIntr(fd, lockFor(share, (flags & O_ACCMODE) != O_RDONLY) | LOCK_NB) != 0) {
        err = errno;
    } else if (disposition == Disposition::CreateAlways && st.st_size != 0 &&
               ftruncate(fd, 0) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode) && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        // (A regular file ignores O_NONBLOCK; only other kinds need it cleared.)
        err = errno;
    }
    if (err != 0) {
        ::close(fd);
        return err;
    }
    *fdOut = fd;
    return 0;
}

}  // namespace

FileException FileException::fromOsError(int osError, std::u16string fileName) {
    int cause;
    switch (osError) {
        case 0:
            cause = kCauseNone;
            break;
        case ENOENT:
            cause = kCauseFileNotFound;
            break;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            cause = kCauseBadPath;
            break;
        case EMFILE:
        case ENFILE:
            cause = kCauseTooManyOpenFiles;
            break;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            cause = kCauseAccessDenied;
            break;
        case EBADF:
            cause = kCauseInvalidFile;
            break;
        case ENOSPC:
        case EDQUOT:
            cause = kCauseDiskFull;
            break;
        case EIO:
            cause = kCauseHardIO;
            break;
        case EWOULDBLOCK:
            cause = kCauseSharingViolation;
            break;
        default:
            cause = kCauseGeneric;
            break;
    }
    return FileException(cause, osError, std::move(fileName));
}

void File::closeQuietly(intptr_t handle) noexcept {
    ::close(static_cast<int>(handle));
}

bool File::tryOpen(const std::u16string& path, Access access, Disposition disposition, Share share,
                   FileException* error, uint32_t options) {
    if (handle_ != kInvalid) {
        closeQuietly(handle_);
        handle_ = kInvalid;
    }
    position_ = 0;
    path_ = path;
    std::string native;
    int fd = -1;
    int err = nativePath(path, &native)
                  ? openLocked(native, access, disposition, share, options, &fd)
                  : ENOENT;
    if (err != 0) {
        if (error) *error = FileException::fromOsError(err, path);
        return false;
    }
    handle_ = fd;
    return true;
}

size_t File::readAt(uint64_t offset, void* buf, size_t n) {
    if (handle_ == kInvalid) fail(EBADF);
    if (offset > static_cast<uint64_t>(INT64_MAX))
        throw FileException(kCauseBadSeek, EINVAL, path_);
    size_t done = 0;
    while (done < n) {
        size_t chunk = std::min<size_t>(n - done, size_t{1} << 30);
        ssize_t r = ::pread(static_cast<int>(handle_), static_cast<char*>(buf) + done, chunk,
                            static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        if (r == 0) break;  // end of file
        done += static_cast<size_t>(r);
    }
    return done;
}

void File::writeAt(uint64_t offset, const void* buf, size_t n) {
    if (handle_ == kInvalid) fail(EBADF);
    if (fault::shouldFail(fault::Op::Write, path_)) fail(EIO);
    if (offset > static_cast<uint64_t>(INT64_MAX) - n)
        throw FileException(kCauseBadSeek, EINVAL, path_);
    size_t done = 0;
    while (done < n) {
        size_t chunk = std::min<size_t>(n - done, size_t{1} << 30);
        ssize_t r = ::pwrite(static_cast<int>(handle_), static_cast<const char*>(buf) + done, chunk,
                             static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        if (r == 0) fail(ENOSPC);  // no progress: the device took nothing
        done += static_cast<size_t>(r);
    }
}

void File::seek(uint64_t offset) {
    if (handle_ == kInvalid) fail(EBADF);
    if (offset > static_cast<uint64_t>(INT64_MAX))
        throw FileException(kCauseBadSeek, EINVAL, path_);
    position_ = offset;
}

uint64_t File::length() const {
    if (handle_ == kInvalid) fail(EBADF);
    struct stat st;
    if (fstat(static_cast<int>(handle_), &st) != 0) fail(errno);
    return static_cast<uint64_t>(st.st_size);
}

void File::setLength(uint64_t n) {
    if (handle_ == kInvalid) fail(EBADF);
    if (n > static_cast<uint64_t>(INT64_MAX)) throw FileException(kCauseBadSeek, EINVAL, path_);
    if (fault::shouldFail(fault::Op::SetLength, path_)) fail(EIO);
    int r;
    do r = ftruncate(static_cast<int>(handle_), static_cast<off_t>(n));
    while (r != 0 && errno == EINTR);
    if (r != 0) fail(errno);
}

void File::reserve(uint64_t offset, uint64_t n) {
    if (handle_ == kInvalid) fail(EBADF);
    if (n == 0) return;
    if (offset > static_cast<uint64_t>(INT64_MAX) || n > static_cast<uint64_t>(INT64_MAX) - offset)
        throw FileException(kCauseBadSeek, EINVAL, path_);
    if (fault::shouldFail(fault::Op::SetLength, path_)) fail(EIO);
    int r;
    do
        r = fallocate(static_cast<int>(handle_), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                      static_cast<off_t>(n));
    while (r != 0 && errno == EINTR);
    // Not offered by this file system (or for this kind of file): nothing is reserved.
    if (r != 0 && errno != EOPNOTSUPP && errno != ENOSYS && errno != ENODEV) fail(errno);
}

FileStatus File::status() const {
    if (handle_ == kInvalid) fail(EBADF);
    struct stat st;
    if (fstat(static_cast<int>(handle_), &st) != 0) fail(errno);
    FileStatus status;
    fillStatus(st, readStoredAttributes(static_cast<int>(handle_)), &status);
    return status;
}

void File::flush() {
    if (handle_ == kInvalid) fail(EBADF);
    if (fault::shouldFail(fault::Op::Flush, path_)) fail(EIO);
    if (fsync(static_cast<int>(handle_)) != 0) fail(errno);
}

void File::close() {
    if (handle_ == kInvalid) return;
    int fd = static_cast<int>(handle_);
    handle_ = kInvalid;
    position_ = 0;
    // On Linux the descriptor is gone even when close reports EINTR; it must not be retried.
    if (::close(fd) != 0 && errno != EINTR) fail(errno);
}

bool getFileStatus(const std::u16string& path, FileStatus* status) {
    std::string p;
    struct stat st;
    if (!nativePath(path, &p) || stat(p.c_str(), &st) != 0) return false;
    fillStatus(st, readStoredAttributes(p.c_str()), status);
    return true;
}

bool getFileIdentity(const std::u16string& path, FileIdentity* identity) {
    std::string p;
    struct stat st;
    if (!nativePath(path, &p) || stat(p.c_str(), &st) != 0) return false;
    identity->volume = static_cast<uint64_t>(st.st_dev);
    identity->index = static_cast<uint64_t>(st.st_ino);
    return true;
}

namespace {

// Copies the bytes from src to dst, both at their current offsets; 0 or the OS error.
int copyBytes(int src, int dst) {
    bool tryRange = true;
    for (;;) {
        if (tryRange) {
            ssize_t r = copy_file_range(src, nullptr, dst, nullptr, size_t{1} << 30, 0);
            if (r > 0) continue;
            if (r == 0) return 0;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
                errno != EPERM && errno != EBADF)
                return errno;
            tryRange = false;  // not offered between these file systems: plain reads follow
        }
        char buf[64 * 1024];
        ssize_t n = ::read(src, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return 0;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(dst, buf + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            done += w;
        }
    }
}

// Writes a copy of the open source (status st) to a new temporary file in the target's folder
// and moves it to target; 0 or the OS error. The temporary file never outlives a failure.
int copyThroughTemporary(int src, const struct stat& st, const std::string& target,
                         bool failIfExists) {
    std::string folder = posix::parentFolder(target);
    std::string temp = folder + (folder.back() == '/' ? "" : "/") + ".vtcopy-XXXXXX";
    int dst = mkostemp(temp.data(), O_CLOEXEC);
    if (dst < 0) return errno;
    uint32_t stored = readStoredAttributes(src);
    int err = copyBytes(src, dst);
    if (err == 0 && stored != 0) {
        std::string text = std::to_string(stored);
        if (fsetxattr(dst, posix::kStoredAttributesName, text.data(), text.size(), 0) != 0 &&
            errno != ENOTSUP)
            err = errno;
    }
    // Permission bits, then the source's times: a copy keeps its last-write time.
    if (err == 0 && fchmod(dst, st.st_mode & 07777) != 0) err = errno;
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (err == 0 && futimens(dst, times) != 0) err = errno;
    if (err == 0 && fsync(dst) != 0) err = errno;
    if (::close(dst) != 0 && err == 0 && errno != EINTR) err = errno;
    bool moved = false;  // the temporary name is gone (and may soon be someone else's)
    if (err == 0) {
        if (!failIfExists) {
            moved = ::rename(temp.c_str(), target.c_str()) == 0;
            if (!moved) err = errno;
        } else if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
                   0) {
            moved = true;
        } else {
            err = errno;
            if (err == EINVAL || err == ENOSYS)  // file system without RENAME_NOREPLACE
                err = ::link(temp.c_str(), target.c_str()) == 0 ? 0 : errno;
        }
    }
    if (!moved) ::unlink(temp.c_str());
    if (err == 0 && stored != 0) posix::markEntryHint(target);
    return err;
}

}  // namespace

int copyFile(const std::u16string& from, const std::u16string& to, bool failIfExists) {
    std::string src8, dst8;
    if (!nativePath(from, &src8) || !nativePath(to, &dst8)) return ENOENT;
    int src = openNoIntr(src8.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
    if (src < 0) return errno;
    struct stat st;
    struct stat target;
    int err = 0;
    if (fstat(src, &st) != 0) {
        err = errno;
    } else if (S_ISDIR(st.st_mode)) {
        err = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        err = EACCES;
    } else if (flockNoIntr(src, LOCK_SH | LOCK_NB) != 0) {
        err = errno;  // an exclusive open elsewhere: a sharing violation, as on Windows
    } else if (lstat(dst8.c_str(), &target) == 0) {
        if (failIfExists) {
            err = EEXIST;
        } else if (S_ISDIR(target.st_mode)) {
            err = EISDIR;
        } else if (isReadOnlyFile(target)) {
            err = EACCES;
        } else {
            err = probeNotInUse(dst8.c_str());
        }
    } else if (errno != ENOENT) {
        err = errno;
    }
    if (err == 0) err = copyThroughTemporary(src, st, dst8, failIfExists);
    ::close(src);
    return err;
}

int removeFile(const std::u16string& path) {
    std::string p;
    if (!nativePath(path, &p)) return ENOENT;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (isReadOnlyFile(st)) return EACCES;  // Windows does not delete a read-only file
    if (int err = probeNotInUse(p.c_str())) return err;
    return ::unlink(p.c_str()) == 0 ? 0 : errno;
}

int renameFile(const std::u16string& from, const std::u16string& to, RenameSource source) {
    std::string src, dst;
    if (!nativePath(from, &src) || !nativePath(to, &dst)) return ENOENT;
    uint32_t stored = 0;
    if (source == RenameSource::Any) {
        struct stat st;
        if (lstat(src.c_str(), &st) != 0) return errno;
        if (int err = probeNotInUse(src.c_str())) return err;
        if (!S_ISLNK(st.st_mode)) stored = readStoredAttributes(src.c_str());
    }
    struct stat target;
    if (lstat(dst.c_str(), &target) == 0) {
        if (isReadOnlyFile(target)) return EACCES;  // Windows does not replace one either
        if (int err = probeNotInUse(dst.c_str())) return err;
    }
    if (fault::shouldFail(fault::Op::Rename, from)) return EIO;
    if (::rename(src.c_str(), dst.c_str()) != 0) return errno;
    if (stored != 0) posix::markEntryHint(dst);
    return 0;
}

int replaceFileDurably(const std::u16string& from, const std::u16string& to) {
    if (int err = renameFile(from, to)) return err;
    std::string folder = posix::parentFolder(toUtf8(to));
    int fd = openNoIntr(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return errno;
    int err = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;  // EINVAL: nothing to flush
    ::close(fd);
    return err;
}

int flushFileSystem(const std::u16string& path) {
    std::string p;
    if (!nativePath(path, &p)) return ENOENT;
    if (fault::shouldFail(fault::Op::Flush, path)) return EIO;
    int fd = openNoIntr(p.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return errno;
    int err = syncfs(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

int createDirectory(const std::u16string& path, FolderAccess access) {
    std::string p;
    if (!nativePath(path, &p)) return ENOENT;
    const mode_t mode = access == FolderAccess::OwnerOnly ? 0700 : 0777;
    return ::mkdir(p.c_str(), mode) == 0 ? 0 : errno;
}

int removeDirectory(const std::u16string& path) {
    std::string p;
    if (!nativePath(path, &p)) return ENOENT;
    return ::rmdir(p.c_str()) == 0 ? 0 : errno;
}

int getFileAttributes(const std::u16string& path, uint32_t* attributes) {
    std::string p;
    if (!nativePath(path, &p)) return ENOENT;
    struct stat st;
    if (stat(p.c_str(), &st) != 0) return errno;
    *attributes = attributesFromStat(st, readStoredAttributes(p.c_str()));
    return 0;
}

int setFileAttributes(const std::u16string& path, uint32_t attributes) {
    std::string p;
    if (!nativePath(path, &p)) return ENOENT;
    const char* cp = p.c_str();
    struct stat st;
    if (stat(cp, &st) != 0) return errno;
    bool folder = S_ISDIR(st.st_mode);
    uint32_t wanted = attributes & (folder ? kAttrHidden | kAttrSystem | kAttrReadOnly
                                           : kAttrHidden | kAttrSystem);
    mode_t mode = st.st_mode & 07777;
    mode_t wantedMode = mode;
    if (!folder) wantedMode = attributes & kAttrReadOnly ? mode & ~mode_t{0222} : mode | S_IWUSR;

    int err = 0;
    char buf[16];
    ssize_t n = getxattr(cp, posix::kStoredAttributesName, buf, sizeof buf);
    bool supported = n >= 0 || errno != ENOTSUP;
    uint32_t stored = n > 0 ? posix::parseStored(buf, n) : 0;
    if (supported && stored != wanted) {
        // Changing a user extended attribute needs write permission on the file.
        if (!(mode & S_IWUSR)) {
            if (chmod(cp, mode | S_IWUSR) != 0) return errno;
            mode |= S_IWUSR;
        }
        int r;
        if (wanted != 0) {
            std::string text = std::to_string(wanted);
            r = setxattr(cp, posix::kStoredAttributesName, text.data(), text.size(), 0);
        } else {
            r = removexattr(cp, posix::kStoredAttributesName);
            if (r != 0 && errno == ENODATA) r = 0;
        }
        if (r != 0 && errno != ENOTSUP) err = errno;
        if (r == 0 && wanted != 0) posix::markEntryHint(p);
    }
    if (mode != wantedMode && chmod(cp, wantedMode) != 0 && err == 0) err = errno;
    return err;
}

bool isNotFoundError(int osError) {
    return osError == ENOENT || osError == ENOTDIR;
}

bool isSharingViolation(int osError) {
    return osError == EWOULDBLOCK;
}

int notADirectoryError() {
    return ENOTDIR;
}

int notAFileError() {
    return EISDIR;
}

}  // namespace vt::plat
