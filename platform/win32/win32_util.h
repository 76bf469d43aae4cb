// Private helpers of the Windows backend: casts between the module's UTF-16 text (char16_t)
// and the Windows API's wchar_t (both 16-bit under Windows), and the mapping of Win32 error
// codes to the portable file causes. Header-only; every function is thread-safe.
#pragma once

// <windows.h> with the backend's settings (lean, no min/max macros).
#include <vtcom/comtypes.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace vt::plat::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be UTF-16 on Windows");

// The text as a NUL-terminated wide string; valid while s lives and is not modified.
inline const wchar_t* wide(const std::u16string& s) {
    return reinterpret_cast<const wchar_t*>(s.c_str());
}

// A NUL-terminated wide string as UTF-16; null gives an empty string.
inline std::u16string fromWide(const wchar_t* s) {
    if (!s) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s));
}

// n wide characters as UTF-16 (embedded NULs kept).
inline std::u16string fromWide(const wchar_t* s, size_t n) {
    if (!s) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s), n);
}

// Seconds since 1970 (UTC) from a FILETIME (100 ns units since 1601), rounded down.
inline int64_t fileTimeToUnix(const FILETIME& ft) {
    const int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    constexpr int64_t kTicksPerSecond = 10000000;
    constexpr int64_t kEpochDelta = 11644473600LL;  // seconds from 1601 to 1970
    int64_t secs = ticks / kTicksPerSecond;
    return secs - kEpochDelta;
}

// The FILETIME of seconds since 1970 (UTC).
inline FILETIME unixToFileTime(int64_t seconds) {
    constexpr int64_t kTicksPerSecond = 10000000;
    constexpr int64_t kEpochDelta = 11644473600LL;
    const uint64_t ticks = static_cast<uint64_t>((seconds + kEpochDelta) * kTicksPerSecond);
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xffffffffu);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

// The portable attributes of Win32 attribute bits: read-only, hidden, system and directory;
// kAttrNormal when none of them is set (archive and the other bits are not reported, so a
// fresh file reads the same on every platform).
inline uint32_t portableAttributes(DWORD attributes) {
    const uint32_t a = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY);
    return a == 0 ? kAttrNormal : a;
}

// The portable file cause of a Win32 error code, as the classic file-exception mapping has it.
inline int fileCauseOf(DWORD error) {
    switch (error) {
        case NO_ERROR:
            return kCauseNone;
        case ERROR_FILE_NOT_FOUND:
            return kCauseFileNotFound;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
        case ERROR_NOT_SAME_DEVICE:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_CANT_RESOLVE_FILENAME:  // a link refused or not resolved, as ELOOP on Linux
            return kCauseBadPath;
        case ERROR_TOO_MANY_OPEN_FILES:
        case ERROR_SHARING_BUFFER_EXCEEDED:
        case ERROR_NO_MORE_SEARCH_HANDLES:
            return kCauseTooManyOpenFiles;
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_ACCESS:
        case ERROR_WRITE_PROTECT:
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
        case ERROR_CANNOT_MAKE:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_BUSY:
            return kCauseAccessDenied;
        case ERROR_INVALID_HANDLE:
        case ERROR_INVALID_TARGET_HANDLE:
        case ERROR_BAD_FORMAT:
        case ERROR_BAD_EXE_FORMAT:
            return kCauseInvalidFile;
        case ERROR_CURRENT_DIRECTORY:
        case ERROR_DIR_NOT_EMPTY:
            return kCauseRemoveCurrentDir;
        case ERROR_NO_MORE_FILES:
            return kCauseFileNotFound;
        case ERROR_NO_SPOOL_SPACE:
            return kCauseDirectoryFull;
        case ERROR_NEGATIVE_SEEK:
        case ERROR_SEEK_ON_DEVICE:
            return kCauseBadSeek;
        case ERROR_BAD_UNIT:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_CRC:
        case ERROR_BAD_LENGTH:
        case ERROR_SEEK:
        case ERROR_NOT_DOS_DISK:
        case ERROR_SECTOR_NOT_FOUND:
        case ERROR_WRITE_FAULT:
        case ERROR_READ_FAULT:
        case ERROR_GEN_FAILURE:
        case ERROR_NET_WRITE_FAULT:
        case ERROR_OPERATION_ABORTED:
        case ERROR_IO_DEVICE:
            return kCauseHardIO;
        case ERROR_SHARING_VIOLATION:
            return kCauseSharingViolation;
        case ERROR_LOCK_VIOLATION:
        case ERROR_DRIVE_LOCKED:
        case ERROR_LOCK_FAILED:
            return kCauseLockViolation;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return kCauseDiskFull;
        case ERROR_HANDLE_EOF:
            return kCauseEndOfFile;
        default:
            return kCauseGeneric;
    }
}

}  // namespace vt::plat::win32
