// Folder search with the wildcard rules the module relies on: '*' matches any run of
// characters, '?' one character, "*.*" matches every name, and letters match without regard
// to ASCII case, as on the PC's file system. Results come in the file system's own order; the
// dot entries "." and ".." are reported like any other entry that matches. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vt::plat {

struct FindEntry {
    std::u16string name;  // without folder
    // The kind of what the entry leads to: a link to a folder is a directory too, as on Windows.
    bool isDirectory = false;
    // A symbolic link (on Windows any reparse point: symbolic links, junctions, mount points).
    // A walk through folders removes or skips it and never descends into it, since it may lead
    // anywhere.
    bool isLink = false;
    // Filled only when the search was asked for status.
    uint64_t size = 0;
    int64_t lastWriteTime = 0;  // seconds since 1970 (UTC)
    uint32_t attributes = 0;
};

// NamesOnly: names and the folder bit. WithTimes: also size and last-write time (one status
// query per entry; attributes only as far as that query shows them). WithStatus: everything,
// hidden and system included.
enum class FindDetail { NamesOnly, WithTimes, WithStatus };

// Searches "folder<sep>pattern". A missing folder gives no entries. An entry that vanishes
// while it is examined is skipped.
std::vector<FindEntry> findFiles(const std::u16string& patternPath,
                                 FindDetail detail = FindDetail::NamesOnly);

// findFiles that tells a folder it could not read from one without a matching entry: 0 when
// the folder was searched (*out may then be empty), otherwise the OS error (a missing folder,
// no access, a read error), with *out empty.
int searchFolder(const std::u16string& patternPath, FindDetail detail, std::vector<FindEntry>* out);

// The wildcard match alone.
bool matchesWildcard(std::u16string_view pattern, std::u16string_view name);

}  // namespace vt::plat
