// The registry's text form, the ".reg" format of docs/registry.md: parseText reads a file's
// bytes into a Tree, toText writes a Tree as the file's bytes. Neither touches a file nor keeps
// anything between calls; reading, locking and replacing the file are posix/registry_file.h's.
//
// The text is edited by hand, so reading never stops at a bad line: it reads what it can and
// names each line it could not read. What toText writes of a tree that parseText read, or of
// one whose names all pass isStorableName, parseText reads back to the same tree without a
// problem.
//
// In common/ like registry_tree.h: only the Linux backend keeps its registry as text, but the
// format needs nothing of the OS, so it builds, and its tests run, on every platform.
//
// Thread-safe: calls on different trees may run at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/registry_tree.h"

namespace vt::plat::reg {

// A line that could not be read: its number (1 for the first line) and what is wrong with it,
// in words for the person who edits the file.
struct Problem {
    size_t line;
    std::string what;
    bool operator==(const Problem&) const = default;
};

// Adds what bytes hold to *tree (normally empty) and appends a Problem to *problems for each
// line that could not be read, in the order of the lines. bytes are UTF-8, with or without a
// byte order mark, or UTF-16LE with one; lines end with LF or CRLF. The values under a key line
// that could not be read are skipped without a problem of their own. Text that is not UTF-16
// after a UTF-16 byte order mark is one problem, and nothing is read.
void parseText(std::string_view bytes, Tree* tree, std::vector<Problem>* problems);

// The text of tree: UTF-8 without a byte order mark, LF line ends, the header line, then a
// section for every key below the hives (and for a hive with values), parents before their
// children, values and subkeys in the tree's order.
std::string toText(const Tree& tree);

}  // namespace vt::plat::reg
