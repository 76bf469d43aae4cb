// Console services on Windows: whether standard output is a console and how wide its window
// is, the current folder and the process id.
#include <string>

#include "platform/system.h"
#include "platform/win32/win32_util.h"

namespace vt::plat {

using win32::fromWide;
using win32::wide;

// A console handle answers GetConsoleMode; a file or a pipe does not.
bool stdoutIsTerminal() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_CHAR &&
           GetConsoleMode(out, &mode) != 0;
}

int terminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0) return columns;
    }
    return 80;
}

std::u16string currentDirectory() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buf.size()), buf.data());
        if (n == 0) return {};
        if (n < buf.size()) return fromWide(buf.data(), n);
        buf.resize(n);  // n counts the terminating NUL when the buffer was too small
    }
}

int setCurrentDirectory(const std::u16string& path) {
    return SetCurrentDirectoryW(wide(path)) ? 0 : static_cast<int>(GetLastError());
}

uint32_t currentProcessId() {
    return static_cast<uint32_t>(GetCurrentProcessId());
}

}  // namespace vt::plat
