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

}  // namespace vt::plat
