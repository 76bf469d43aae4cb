// Stop requests (SIGINT, SIGTERM) for long-running console programs, and reading a secret from
// the terminal without echo.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <string>

#include "platform/system.h"

namespace vt::plat {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void catchStopRequests() {
    // Blocked here, the signals stay pending for sigtimedwait; threads started later inherit
    // the mask, so none of them is interrupted.
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool waitForStopRequest(int timeoutMs) {
    const sigset_t set = stopSignals();
    timespec ts{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
    for (;;) {
        const int sig = sigtimedwait(&set, nullptr, &ts);
        if (sig > 0) return true;
        if (errno != EINTR) return false;
    }
}

bool readSecretLine(std::string* line) {
    termios old{};
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &old) == 0;
    if (terminal) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool ok = static_cast<bool>(std::getline(std::cin, *line));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
        std::cerr << std::endl;
    }
    if (ok && !line->empty() && line->back() == '\r') line->pop_back();
    return ok;
}

}  // namespace vt::plat
