// Paths use the native separator. Shared code joins paths through joinPath and never writes a
// separator literal of its own. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace vt::plat {

// '\\' on Windows, '/' elsewhere.
extern const char16_t kPathSeparator;

// a + separator + b; a separator already ending a is not doubled. An empty a gives b.
std::u16string joinPath(std::u16string_view a, std::u16string_view b);

// True for a path that starts at a root (a drive or "/").
bool isAbsolutePath(std::u16string_view p);

// True for a character that separates path pieces ('/' everywhere, '\\' too on Windows).
bool isPathSeparator(char16_t c);
// The path of the folder that holds path, without a trailing separator: "/a/b.txt" gives
// "/a", "b.txt" gives "" and "/b.txt" gives "". A trailing separator of path counts as none.
std::u16string parentFolder(std::u16string_view path);
// The last piece of path: "/a/b.txt" gives "b.txt" (a trailing separator counts as none).
std::u16string fileNameOf(std::u16string_view path);
// path without one trailing separator, if it has one.
std::u16string withoutTrailingSeparator(std::u16string_view path);

// The one check for outside text (a LUID, an item name, an alias, an IMEI key) that is to
// name a file or folder directly inside a folder: true when name names exactly that entry on
// every file system the notes may live on. Refused: the empty name, "." and "..", separators,
// control characters, the characters Windows forbids (: * ? " < > |), a trailing dot or blank
// (Windows drops them, so two names would meet in one file), and device names whatever their
// extension or the blanks before it (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$:
// "con.txt", "NUL.1", "aux .txt").
bool isPlainFileName(std::u16string_view name);
// True for a character that may stand anywhere in a plain file name.
bool isFileNameChar(char16_t c);

}  // namespace vt::plat
