// A program's command-line arguments as UTF-16 text. Thread-safe.
#pragma once

#include <string>
#include <vector>

namespace vt::plat {

// The arguments after the program name. argc and argv are main's; on Windows the wide command
// line is read instead, so that no character is lost to the ANSI code page.
std::vector<std::u16string> programArguments(int argc, char** argv);

}  // namespace vt::plat
