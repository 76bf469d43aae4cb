// Child processes for crash tests: run a piece of this program in a copy of the process and
// learn how it ended, and end the current process at once, as a crash would (no destructors,
// no flushing). Thread-safe; the child must not rely on other threads of the parent.
#pragma once

#include <functional>

namespace vt::plat {

// True where runInChild works (POSIX); elsewhere tests that need it skip.
bool childProcessesSupported();

// Runs body in a copy of this process and returns its exit code; a child killed by a signal
// gives 128 + the signal number; -1 when no child could be made.
int runInChild(const std::function<int()>& body);

// Ends the process immediately with code.
[[noreturn]] void exitProcessNow(int code);

}  // namespace vt::plat
