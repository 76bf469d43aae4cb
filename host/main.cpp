// The `vantrel` program: a desktop synchronisation host for the Vantrel notes module.
#include <string>
#include <vector>

#include "host/commands.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) args.push_back(vt::fromUtf8(argv[i]));
    return vt::host::runCommandLine(args);
}
