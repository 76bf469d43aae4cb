// hold_file PATH SECONDS [MODE]: opens PATH for reading and writing, says "holding" on standard
// output and keeps it open for SECONDS, as an editor that locks a note does, or another process
// of the module that holds its record store or its log. MODE is how the file is shared:
// "exclusive" (the default, shared with nobody) or "deny-write" (others may only read, as the
// record store and the log are held). For tests of what the module does with a file another
// process holds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include "platform/arguments.h"
#include "platform/file.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    std::vector<std::u16string> args = vt::plat::programArguments(argc, argv);
    std::optional<vt::plat::Share> share;
    if (args.size() == 2 || (args.size() == 3 && args[2] == u"exclusive"))
        share = vt::plat::Share::Exclusive;
    else if (args.size() == 3 && args[2] == u"deny-write")
        share = vt::plat::Share::DenyWrite;
    if (!share) {
        std::fprintf(stderr, "usage: hold_file PATH SECONDS [exclusive|deny-write]\n");
        return 2;
    }
    vt::plat::File file;
    vt::plat::FileException error(0, 0, {});
    if (!file.tryOpen(args[0], vt::plat::Access::ReadWrite, vt::plat::Disposition::OpenExisting,
                      *share, &error)) {
        std::fprintf(stderr, "hold_file: cannot open %s (cause %d, error %d)\n",
                     vt::toUtf8(args[0]).c_str(), error.cause(), error.osError());
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(vt::toUtf8(args[1]).c_str())));
    return 0;
}
