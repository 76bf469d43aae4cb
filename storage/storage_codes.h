// The result codes of the keyed record store (CStorage). Success codes are 0, 1 and 2; every
// failure is negative. Constants only; thread-safe.
#pragma once

#include <cstdint>

namespace vt {

// Success: opened an existing store, removed, found, saved.
inline constexpr int32_t kStorageOk = 0;
// initialize: the data file was new or empty.
inline constexpr int32_t kStorageCreated = 1;
// store: the key was added.
inline constexpr int32_t kStorageAdded = 1;
// store: the key's record was replaced.
inline constexpr int32_t kStorageReplaced = 2;

// No such key (0xFFFF78A2).
inline constexpr int32_t kStorageNoSuchKey = -34654;
// The caller's buffer is too small for the record.
inline constexpr int32_t kStorageBufferTooSmall = -42;
// A file failed to open, or the index file was unusable at initialize (0xFFFFF7AA).
inline constexpr int32_t kStorageOpenError = -2134;
// The index file failed a check while reading (0xFCC3435E).
inline constexpr int32_t kStorageIndexCheckFailed = -54312098;
// Seek error in the data file (0xFFFB089A). Positioned I/O never seeks, so it is not produced.
inline constexpr int32_t kStorageSeekError = -325478;
// Write (or flush, or rename) error in the data file or the index file (0xFFFB0899).
inline constexpr int32_t kStorageWriteError = -325479;
// Read error in the data file (0xFFFB0898).
inline constexpr int32_t kStorageReadError = -325480;
// The data file returned fewer bytes than the record's size (0xFFFFE070).
inline constexpr int32_t kStorageShortRead = -8080;
// store: the record would grow the data file past 2^31 - 1 bytes, the limit of the 32-bit
// offsets of the index file (0xFFFB0897). Nothing was changed.
inline constexpr int32_t kStorageFull = -325481;
// store: a negative byte count, or no data for a non-empty record (0xFFFB0896). Nothing was
// changed.
inline constexpr int32_t kStorageBadArgument = -325482;

}  // namespace vt
