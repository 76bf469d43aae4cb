#include "platform/process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vt::plat {

bool childProcessesSupported() {
    return true;
}

int runInChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int code = 1;
        try {
            code = body();
        } catch (...) {
            code = 2;
        }
        _exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

void exitProcessNow(int code) {
    _exit(code);
}

}  // namespace vt::plat
