// hold_file PATH SECONDS: opens PATH for reading and writing, shared with nobody, says
// "holding" on standard output and keeps it open for SECONDS, as an editor that locks a note
// does. For tests of what the module does with a note another process holds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/arguments.h"
#include "platform/file.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    std::vector<std::u16string> args = vt::plat::programArguments(argc, argv);
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: hold_file PATH SECONDS\n");
        return 2;
    }
    vt::plat::File file;
    vt::plat::FileException error(0, 0, {});
    if (!file.tryOpen(args[0], vt::plat::Access::ReadWrite, vt::plat::Disposition::OpenExisting,
                      vt::plat::Share::Exclusive, &error)) {
        std::fprintf(stderr, "hold_file: cannot open %s (cause %d, error %d)\n",
                     vt::toUtf8(args[0]).c_str(), error.cause(), error.osError());
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(vt::toUtf8(args[1]).c_str())));
    return 0;
}
