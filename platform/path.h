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
