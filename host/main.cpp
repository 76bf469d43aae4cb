// The `vantrel` program: a desktop synchronisation host for the Vantrel notes module.
#include "host/commands.h"
#include "platform/arguments.h"

int main(int argc, char** argv) {
    return vt::host::runCommandLine(vt::plat::programArguments(argc, argv));
}
