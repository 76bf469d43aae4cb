#include "platform/arguments.h"

#include "platform/text.h"

namespace vt::plat {

std::vector<std::u16string> programArguments(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) args.push_back(fromUtf8(argv[i]));
    return args;
}

}  // namespace vt::plat
