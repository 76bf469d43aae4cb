// Internal to the Linux backend: how the portable file attributes are kept on Linux, shared by
// file.cpp and find.cpp. Thread-safe (each call is a few system calls).
//
// Read-only is the owner write bit of a file's mode. Hidden and system (and read-only for a
// folder, whose mode must stay writable) have no Linux counterpart; they are kept as the decimal
// text of their bits in the extended attribute kStoredAttributesName. A folder that holds an
// entry given such bits through this layer carries kEntryHintName, so that a folder search
// reads the entries' extended attributes only where one can be set at all.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace vt::plat::posix {

inline constexpr const char* kStoredAttributesName = "user.vantrel.attributes";
inline constexpr const char* kEntryHintName = "user.vantrel.entries";

// The portable attributes of an entry with status st and stored bits stored.
uint32_t attributesFromStat(const struct stat& st, uint32_t stored);

// The bits stored for path (or an open descriptor); 0 when none are stored or the file system
// keeps no extended attributes.
uint32_t readStoredAttributes(const char* path);
uint32_t readStoredAttributes(int fd);

// True when folder may hold entries with stored bits (it carries the hint).
bool folderHasEntryHint(const char* folder);

// Marks the folder that holds path as holding entries with stored bits. Failures are ignored.
void markEntryHint(const std::string& path);

// The folder part of path: "." for a bare name, "/" for a name in the root.
std::string parentFolder(const std::string& path);

}  // namespace vt::plat::posix
