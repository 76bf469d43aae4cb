// Files on Windows: CreateFileW with real share modes, positioned reads and writes through
// OVERLAPPED offsets on a synchronous handle, and the file functions of the API. Errors are
// Win32 error codes; their causes follow the classic file-exception mapping (win32_util.h).
//
// Share modes: Exclusive shares nothing, DenyWrite shares reading, DenyNone shares reading and
// writing, but never deleting, so that a file open through this layer can be neither removed
// nor renamed (as the Linux backend also refuses). Windows also weighs the access asked for
// against the access the other openers hold, which the Linux locks do only in part (file.h).
#include "platform/file.h"

#include <algorithm>
#include <climits>
#include <string>

#include "platform/fault.h"
#include "platform/win32/win32_util.h"

namespace vt::plat {

namespace {

using win32::fileCauseOf;
using win32::fileTimeToUnix;
using win32::portableAttributes;
using win32::wide;

// The error an injected fault reports: an I/O failure of the device.
constexpr DWORD kInjectedError = ERROR_WRITE_FAULT;
constexpr DWORD kMaxChunk = 1u << 30;

// False for a path that no file can have (empty, embedded NUL).
bool validPath(const std::u16string& path) {
    return !path.empty() && path.find(u'\0') == std::u16string::npos;
}

HANDLE toHandle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

OVERLAPPED overlappedAt(uint64_t offset) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset & 0xffffffffu);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return ov;
}

uint64_t fileSizeOf(DWORD high, DWORD low) {
    return (static_cast<uint64_t>(high) << 32) | low;
}

// Cuts the open file to n bytes; 0 or the Win32 error.
DWORD setEnd(HANDLE h, uint64_t n) {
    LARGE_INTEGER pos;
    pos.QuadPart = static_cast<LONGLONG>(n);
    if (!SetFilePointerEx(h, pos, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) return GetLastError();
    return 0;
}

// Opens path with the share mode, or returns the Win32 error.
DWORD openShared(const std::u16string& path, Access access, Disposition disposition, Share share,
                 uint32_t options, HANDLE* out) {
    DWORD desired = 0;
    switch (access) {
        case Access::Read:
            // Cutting a file to length 0 needs write access.
            desired = GENERIC_READ | (disposition == Disposition::CreateAlways ? GENERIC_WRITE : 0);
            break;
        case Access::Write:
            desired = GENERIC_WRITE;
            break;
        case Access::ReadWrite:
            desired = GENERIC_READ | GENERIC_WRITE;
            break;
    }
    DWORD shareMode = 0;
    switch (share) {
        case Share::Exclusive:
            break;
        case Share::DenyWrite:
            shareMode = FILE_SHARE_READ;
            break;
        case Share::DenyNone:
            shareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
            break;
    }
    // CreateAlways opens and then cuts: CREATE_ALWAYS itself would refuse an existing hidden
    // or system file and reset the attributes of any other.
    DWORD how = OPEN_EXISTING;
    switch (disposition) {
        case Disposition::OpenExisting:
            how = OPEN_EXISTING;
            break;
        case Disposition::CreateAlways:
        case Disposition::OpenAlways:
            how = OPEN_ALWAYS;
            break;
        case Disposition::CreateNew:
            how = CREATE_NEW;
            break;
    }
    // Without following, a reparse point at the name is opened itself (never created through,
    // never cut) and then refused.
    const bool noFollow = (options & kOpenNoFollow) != 0;
    HANDLE h =
        CreateFileW(wide(path), desired, shareMode, nullptr, how,
                    FILE_ATTRIBUTE_NORMAL | (noFollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    if ((desired & GENERIC_WRITE) || noFollow) {
        BY_HANDLE_FILE_INFORMATION info;
        DWORD refused = 0;
        if (!GetFileInformationByHandle(h, &info))
            refused = noFollow ? GetLastError() : 0;
        else if (noFollow && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            refused = ERROR_CANT_RESOLVE_FILENAME;
        // Windows refuses write access to a read-only file; Wine running as root would not.
        else if ((desired & GENERIC_WRITE) && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
            refused = ERROR_ACCESS_DENIED;
        if (refused != 0) {
            CloseHandle(h);
            return refused;
        }
    }
    if (disposition == Disposition::CreateAlways) {
        if (DWORD err = setEnd(h, 0)) {
            CloseHandle(h);
            return err;
        }
    }
    *out = h;
    return 0;
}

void fillStatus(DWORD attributes, uint64_t size, const FILETIME& lastWrite, FileStatus* status) {
    status->isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->size = status->isDirectory ? 0 : size;
    status->lastWriteTime = fileTimeToUnix(lastWrite);
    status->attributes = portableAttributes(attributes);
}

}  // namespace

FileException FileException::fromOsError(int osError, std::u16string fileName) {
    return FileException(fileCauseOf(static_cast<DWORD>(osError)), osError, std::move(fileName));
}

void File::closeQuietly(intptr_t handle) noexcept {
    CloseHandle(toHandle(handle));
}

bool File::tryOpen(const std::u16string& path, Access access, Disposition disposition, Share share,
                   FileException* error, uint32_t options) {
    if (handle_ != kInvalid) {
        closeQuietly(handle_);
        handle_ = kInvalid;
    }
    position_ = 0;
    path_ = path;
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD err = validPath(path) ? openShared(path, access, disposition, share, options, &h)
                                : static_cast<DWORD>(ERROR_FILE_NOT_FOUND);
    if (err != 0) {
        if (error) *error = FileException::fromOsError(static_cast<int>(err), path);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
}

size_t File::readAt(uint64_t offset, void* buf, size_t n) {
    if (handle_ == kInvalid) fail(ERROR_INVALID_HANDLE);
    if (offset > static_cast<uint64_t>(INT64_MAX))
        throw FileException(kCauseBadSeek, ERROR_NEGATIVE_SEEK, path_);
    size_t done = 0;
    while (done < n) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(n - done, kMaxChunk));
        OVERLAPPED ov = overlappedAt(offset + done);
        DWORD got = 0;
        if (!ReadFile(toHandle(handle_), static_cast<char*>(buf) + done, chunk, &got, &ov)) {
            DWORD err = GetLastError();
            if (err == ERROR_HANDLE_EOF) break;  // at or past the end
            fail(static_cast<int>(err));
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

void File::writeAt(uint64_t offset, const void* buf, size_t n) {
    if (handle_ == kInvalid) fail(ERROR_INVALID_HANDLE);
    if (fault::shouldFail(fault::Op::Write, path_)) fail(kInjectedError);
    if (offset > static_cast<uint64_t>(INT64_MAX) - n)
        throw FileException(kCauseBadSeek, ERROR_NEGATIVE_SEEK, path_);
    size_t done = 0;
    while (done < n) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(n - done, kMaxChunk));
        OVERLAPPED ov = overlappedAt(offset + done);
        DWORD wrote = 0;
        if (!WriteFile(toHandle(handle_), static_cast<const char*>(buf) + done, chunk, &wrote, &ov))
            fail(static_cast<int>(GetLastError()));
        if (wrote == 0) fail(ERROR_DISK_FULL);  // no progress: the device took nothing
        done += wrote;
    }
}

void File::seek(uint64_t offset) {
    if (handle_ == kInvalid) fail(ERROR_INVALID_HANDLE);
    if (offset > static_cast<uint64_t>(INT64_MAX))
        throw FileException(kCauseBadSeek, ERROR_NEGATIVE_SEEK, path_);
    position_ = offset;
}

uint64_t File::length() const {
    if (handle_ == kInvalid) fail(ERROR_INVALID_HANDLE);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(toHandle(handle_), &size)) fail(static_cast<int>(GetLastError()));
    return static_cast<uint64_t>(size.QuadPart);
}

void File::setLength(uint64_t n) {
    if (handle_ == kInvalid) fail(ERROR_INVALID_HANDLE);
    if (n > static_cast<uint64_t>(INT64_MAX))
        throw FileException(kCauseBadSeek, ERROR_NEGATIVE_SEEK, path_);
    if (fault::shouldFail(fault::Op::SetLength, path_)) fail(kInjectedError);
    if (DWORD err = setEnd(toHandle(handle_), n)) fail(static_cast<int>(err));
}

void File::reserve(uint64_t offset, uint64_t n) {
    if (handle_ == kInvalid) fail(ERROR_INVALID_HANDLE);
    if (n == 0) return;
    if (offset > static_cast<uint64_t>(INT64_MAX) || n > static_cast<uint64_t>(INT64_MAX) - offset)
        throw FileException(kCauseBadSeek, ERROR_NEGATIVE_SEEK, path_);
    if (fault::shouldFail(fault::Op::SetLength, path_)) fail(kInjectedError);
    // The allocation size covers the file from its start; one below the length would cut the
    // file, so only a range reaching past the end asks for more.
    const uint64_t end = offset + n;
    if (end <= length()) return;
    FILE_ALLOCATION_INFO info{};
    info.AllocationSize.QuadPart = static_cast<LONGLONG>(end);
    if (SetFileInformationByHandle(toHandle(handle_), FileAllocationInfo, &info, sizeof info))
        return;
    DWORD err = GetLastError();
    // Not offered by this file system (or this kind of file): nothing is reserved.
    if (err == ERROR_INVALID_PARAMETER || err == ERROR_NOT_SUPPORTED ||
        err == ERROR_INVALID_FUNCTION || err == ERROR_CALL_NOT_IMPLEMENTED)
        return;
    fail(static_cast<int>(err));
}

FileStatus File::status() const {
    if (handle_ == kInvalid) fail(ERROR_INVALID_HANDLE);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(toHandle(handle_), &info))
        fail(static_cast<int>(GetLastError()));
    FileStatus status;
    fillStatus(info.dwFileAttributes, fileSizeOf(info.nFileSizeHigh, info.nFileSizeLow),
               info.ftLastWriteTime, &status);
    return status;
}

void File::flush() {
    if (handle_ == kInvalid) fail(ERROR_INVALID_HANDLE);
    if (fault::shouldFail(fault::Op::Flush, path_)) fail(kInjectedError);
    if (!FlushFileBuffers(toHandle(handle_))) fail(static_cast<int>(GetLastError()));
}

void File::close() {
    if (handle_ == kInvalid) return;
    HANDLE h = toHandle(handle_);
    handle_ = kInvalid;
    position_ = 0;
    if (!CloseHandle(h)) fail(static_cast<int>(GetLastError()));
}

bool getFileStatus(const std::u16string& path, FileStatus* status) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!validPath(path) || !GetFileAttributesExW(wide(path), GetFileExInfoStandard, &data))
        return false;
    fillStatus(data.dwFileAttributes, fileSizeOf(data.nFileSizeHigh, data.nFileSizeLow),
               data.ftLastWriteTime, status);
    return true;
}

// An open for no access at all, sharing everything, is never refused by a share mode; backup
// semantics let it open a folder too.
bool getFileIdentity(const std::u16string& path, FileIdentity* identity) {
    if (!validPath(path)) return false;
    HANDLE h = CreateFileW(wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (!ok) return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// CopyFileW keeps the source's attributes and last-write time; the copy is written in place
// (not through a temporary file).
int copyFile(const std::u16string& from, const std::u16string& to, bool failIfExists) {
    if (!validPath(from) || !validPath(to)) return ERROR_FILE_NOT_FOUND;
    return CopyFileW(wide(from), wide(to), failIfExists ? TRUE : FALSE)
               ? 0
               : static_cast<int>(GetLastError());
}

int removeFile(const std::u16string& path) {
    if (!validPath(path)) return ERROR_FILE_NOT_FOUND;
    if (DeleteFileW(wide(path))) return 0;
    const DWORD err = GetLastError();
    // A link to a folder (directory symbolic link, junction) is removed as the folder entry it
    // is; RemoveDirectoryW takes the link away and leaves what it leads to.
    const DWORD a = GetFileAttributesW(wide(path));
    constexpr DWORD kFolderLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (a != INVALID_FILE_ATTRIBUTES && (a & kFolderLink) == kFolderLink)
        return RemoveDirectoryW(wide(path)) ? 0 : static_cast<int>(GetLastError());
    return static_cast<int>(err);
}

namespace {

int moveReplacing(const std::u16string& from, const std::u16string& to, DWORD flags) {
    if (!validPath(from) || !validPath(to)) return ERROR_FILE_NOT_FOUND;
    if (fault::shouldFail(fault::Op::Rename, from)) return kInjectedError;
    return MoveFileExW(wide(from), wide(to), MOVEFILE_REPLACE_EXISTING | flags)
               ? 0
               : static_cast<int>(GetLastError());
}

}  // namespace

int renameFile(const std::u16string& from, const std::u16string& to, RenameSource) {
    return moveReplacing(from, to, 0);
}

// MOVEFILE_WRITE_THROUGH returns only once the move is on the disk.
int replaceFileDurably(const std::u16string& from, const std::u16string& to) {
    return moveReplacing(from, to, MOVEFILE_WRITE_THROUGH);
}

int flushFileSystem(const std::u16string&) {
    // Flushing a whole volume needs administrator rights on Windows; callers flush their
    // files one by one instead.
    return ERROR_NOT_SUPPORTED;
}

int createDirectory(const std::u16string& path, FolderAccess) {
    if (!validPath(path)) return ERROR_PATH_NOT_FOUND;
    return CreateDirectoryW(wide(path), nullptr) ? 0 : static_cast<int>(GetLastError());
}

int removeDirectory(const std::u16string& path) {
    if (!validPath(path)) return ERROR_PATH_NOT_FOUND;
    return RemoveDirectoryW(wide(path)) ? 0 : static_cast<int>(GetLastError());
}

int getFileAttributes(const std::u16string& path, uint32_t* attributes) {
    if (!validPath(path)) return ERROR_FILE_NOT_FOUND;
    DWORD a = GetFileAttributesW(wide(path));
    if (a == INVALID_FILE_ATTRIBUTES) return static_cast<int>(GetLastError());
    *attributes = portableAttributes(a);
    return 0;
}

int setFileAttributes(const std::u16string& path, uint32_t attributes) {
    if (!validPath(path)) return ERROR_FILE_NOT_FOUND;
    DWORD old = GetFileAttributesW(wide(path));
    if (old == INVALID_FILE_ATTRIBUTES) return static_cast<int>(GetLastError());
    constexpr DWORD kPortable =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    // The other bits that SetFileAttributesW takes are kept as they are.
    constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
    DWORD wanted = (old & kSettable) | (attributes & kPortable);
    if (wanted == (old & (kSettable | kPortable))) return 0;
    if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
    return SetFileAttributesW(wide(path), wanted) ? 0 : static_cast<int>(GetLastError());
}

bool isNotFoundError(int osError) {
    return osError == ERROR_FILE_NOT_FOUND || osError == ERROR_PATH_NOT_FOUND;
}

bool isSharingViolation(int osError) {
    return osError == ERROR_SHARING_VIOLATION;
}

int notADirectoryError() {
    return ERROR_DIRECTORY;
}

int notAFileError() {
    return ERROR_ACCESS_DENIED;
}

}  // namespace vt::plat
