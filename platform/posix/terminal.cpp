// Console services on Linux: whether standard output is a terminal and how wide it is, the
// current folder and the process id.
#include <limits.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/system.h"
#include "platform/text.h"

namespace vt::plat {

bool stdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int terminalColumns() {
    struct winsize ws {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

std::u16string currentDirectory() {
    std::string buf(PATH_MAX, '\0');
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE || buf.size() > (1u << 20)) return {};
        buf.resize(buf.size() * 2);
    }
    buf.resize(std::char_traits<char>::length(buf.c_str()));
    return fromUtf8(buf);
}

int setCurrentDirectory(const std::u16string& path) {
    return chdir(toUtf8(path).c_str()) == 0 ? 0 : errno;
}

uint32_t currentProcessId() {
    return static_cast<uint32_t>(getpid());
}

}  // namespace vt::plat
