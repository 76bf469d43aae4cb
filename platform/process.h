// Child processes for crash tests: run a piece of this program in a copy of the process and
// learn how it ended, and end the current process at once, as a crash would (no destructors,
// no flushing). Thread-safe; the child must not rely on other threads of the parent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vt::plat {

// True where runInChild works (POSIX); elsewhere tests that need it skip.
bool childProcessesSupported();

// Runs body in a copy of this process and returns its exit code; a child killed by a signal
// gives 128 + the signal number; -1 when no child could be made.
int runInChild(const std::function<int()>& body);

// Ends the process immediately with code.
[[noreturn]] void exitProcessNow(int code);

// Other programs started as child processes (the host's crash tests). Thread-safe.

// Starts program with args (args[0] is its name for the child) and the parent's environment.
// Standard output and standard error go to outputFile (created or truncated) when it is not
// empty, else they are the parent's. Answers the child's process id, or -1 with *error set.
// Implemented in spawn.cpp.
int64_t startProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                     const std::u16string& outputFile, std::u16string* error);
// Ends the child at once, as kill -9 does; false when it is already gone.
bool killProcess(int64_t pid);
// Waits for the child to end and reaps it: its exit code, 128 + the signal number when a signal
// ended it, -1 on failure.
int waitProcess(int64_t pid);
// Waits at most timeoutMs: true with *exitCode set (as waitProcess) when it ended.
bool waitProcessFor(int64_t pid, int timeoutMs, int* exitCode);

}  // namespace vt::plat
