// Child programs on Linux: posix_spawn with standard output and error redirected to a file,
// SIGKILL, and waitpid with or without a time limit.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/system.h"
#include "platform/text.h"

extern char** environ;

namespace vt::plat {

namespace {

int exitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

int64_t startProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                     const std::u16string& outputFile, std::u16string* error) {
    std::vector<std::string> narrow;
    narrow.reserve(args.size());
    for (const auto& a : args) narrow.push_back(toUtf8(a));
    std::vector<char*> argv;
    for (auto& a : narrow) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = toUtf8(outputFile);
    if (!outputFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    pid_t pid = -1;
    const std::string path = toUtf8(program);
    int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        if (error) *error = u"cannot start " + program + u": " + systemErrorText(rc);
        return -1;
    }
    return pid;
}

bool killProcess(int64_t pid) {
    return kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

int waitProcess(int64_t pid) {
    int status = 0;
    while (waitpid(static_cast<pid_t>(pid), &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return exitCodeOf(status);
}

bool waitProcessFor(int64_t pid, int timeoutMs, int* exitCode) {
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
        if (r == static_cast<pid_t>(pid)) {
            if (exitCode) *exitCode = exitCodeOf(status);
            return true;
        }
        if (r < 0 && errno != EINTR) {
            if (exitCode) *exitCode = -1;
            return true;
        }
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsedMs =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsedMs >= timeoutMs) return false;
        struct timespec pause {
            0, 2 * 1000 * 1000
        };
        nanosleep(&pause, nullptr);
    }
}

}  // namespace vt::plat
