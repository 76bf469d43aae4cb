// Child copies of the process do not exist on Windows (no fork): runInChild answers -1 and the
// tests that need it skip. The process ends at once through TerminateProcess, which runs no
// destructors, flushes nothing and skips the DLLs' detach notifications, as a crash would.
#include "platform/process.h"

#include <stdlib.h>

#include "platform/win32/win32_util.h"

namespace vt::plat {

bool childProcessesSupported() {
    return false;
}

int runInChild(const std::function<int()>&) {
    return -1;
}

void exitProcessNow(int code) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    _exit(code);  // not reached
}

}  // namespace vt::plat
