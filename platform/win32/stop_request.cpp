// Stop requests (Ctrl-C, Ctrl-Break, the console closing) for long-running console programs,
// and reading a secret from the console without echo.
#include <windows.h>

#include <iostream>
#include <string>

#include "platform/system.h"

namespace vt::plat {

namespace {

HANDLE stopEvent() {
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI onConsoleEvent(DWORD) {
    SetEvent(stopEvent());
    return TRUE;
}

}  // namespace

void catchStopRequests() {
    stopEvent();
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool waitForStopRequest(int timeoutMs) {
    return WaitForSingleObject(stopEvent(), static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

bool readSecretLine(std::string* line) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(in, &mode) != 0;
    if (console) SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    const bool ok = static_cast<bool>(std::getline(std::cin, *line));
    if (console) {
        SetConsoleMode(in, mode);
        std::cerr << std::endl;
    }
    if (ok && !line->empty() && line->back() == '\r') line->pop_back();
    return ok;
}

}  // namespace vt::plat
