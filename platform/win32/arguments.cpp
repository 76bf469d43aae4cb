#include "platform/arguments.h"

#include <windows.h>
#include <shellapi.h>

namespace vt::plat {

std::vector<std::u16string> programArguments(int, char**) {
    std::vector<std::u16string> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv) return args;
    for (int i = 1; i < count; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    LocalFree(argv);
    return args;
}

}  // namespace vt::plat
