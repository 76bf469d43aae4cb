// Child programs on Windows: CreateProcessW with a command line quoted as the C runtime parses
// it, standard output and error sent to a file through inheritable handles, TerminateProcess
// and WaitForSingleObject. The id given out is the Windows process id; its handle stays in a
// table of this layer until the child has been waited for.
//
// Exit codes: killProcess ends the child with code 137, so that waitProcess reports 128 + 9 as
// for a SIGKILL on Linux. A child that dies of an unhandled exception (an NTSTATUS error code
// such as 0xC0000005 as its exit code) is reported as 128 + 11, as a SIGSEGV would be; every
// other exit code comes back as it is.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/system.h"
#include "platform/win32/win32_util.h"

namespace vt::plat {

namespace {

using win32::wide;

constexpr UINT kKilledExitCode = 128 + 9;
constexpr int kCrashedExitCode = 128 + 11;

struct Children {
    std::mutex mutex;
    std::map<int64_t, HANDLE> handles;
};

Children& children() {
    static Children* c = new Children;  // never destroyed: children may outlive main's return
    return *c;
}

// Serialises the short time in which this layer's inheritable handles exist, so that a child
// started on another thread does not inherit them.
std::mutex& inheritMutex() {
    static std::mutex m;
    return m;
}

// One argument as the C runtime of the child splits the command line: quoted when it is empty
// or holds blanks or quotes; backslashes are doubled only before a quote.
void appendQuoted(const std::u16string& arg, std::u16string* line) {
    if (!arg.empty() && arg.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
        *line += arg;
        return;
    }
    *line += u'"';
    size_t backslashes = 0;
    for (char16_t c : arg) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        if (c == u'"') backslashes = backslashes * 2 + 1;
        line->append(backslashes, u'\\');
        backslashes = 0;
        *line += c;
    }
    line->append(backslashes * 2, u'\\');
    *line += u'"';
}

// An inheritable copy of h (null when h is none).
HANDLE inheritable(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

int exitCodeOf(DWORD code) {
    if ((code & 0xF0000000u) == 0xC0000000u) return kCrashedExitCode;
    return static_cast<int>(code);
}

// The handle of a child started here; null when pid is none of them.
HANDLE findChild(int64_t pid) {
    Children& c = children();
    std::lock_guard<std::mutex> lock(c.mutex);
    auto it = c.handles.find(pid);
    return it == c.handles.end() ? nullptr : it->second;
}

// The exit code of a child that has ended; its handle is closed and forgotten.
int reap(int64_t pid, HANDLE h) {
    DWORD code = 0;
    int result = GetExitCodeProcess(h, &code) ? exitCodeOf(code) : -1;
    Children& c = children();
    std::lock_guard<std::mutex> lock(c.mutex);
    auto it = c.handles.find(pid);
    if (it != c.handles.end() && it->second == h) {
        c.handles.erase(it);
        CloseHandle(h);
    }
    return result;
}

}  // namespace

int64_t startProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                     const std::u16string& outputFile, std::u16string* error) {
    std::u16string line;
    for (const auto& a : args) {
        if (!line.empty()) line += u' ';
        appendQuoted(a, &line);
    }
    auto failWith = [&](DWORD err) -> int64_t {
        if (error)
            *error = u"cannot start " + program + u": " + systemErrorText(static_cast<int>(err));
        return -1;
    };

    HANDLE output = INVALID_HANDLE_VALUE;
    if (!outputFile.empty()) {
        // Others may read the output while the child writes it.
        output = CreateFileW(wide(outputFile), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE) return failWith(GetLastError());
    }

    PROCESS_INFORMATION pi{};
    BOOL started = FALSE;
    DWORD err = 0;
    {
        std::lock_guard<std::mutex> lock(inheritMutex());
        HANDLE in = inheritable(GetStdHandle(STD_INPUT_HANDLE));
        HANDLE out =
            inheritable(output != INVALID_HANDLE_VALUE ? output : GetStdHandle(STD_OUTPUT_HANDLE));
        HANDLE errOut =
            inheritable(output != INVALID_HANDLE_VALUE ? output : GetStdHandle(STD_ERROR_HANDLE));
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in;
        si.hStdOutput = out;
        si.hStdError = errOut;
        std::u16string mutableLine = line;  // CreateProcessW may write into the command line
        started = CreateProcessW(wide(program), reinterpret_cast<wchar_t*>(mutableLine.data()),
                                 nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
        err = started ? 0 : GetLastError();
        for (HANDLE h : {in, out, errOut})
            if (h) CloseHandle(h);
    }
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    if (!started) return failWith(err);
    CloseHandle(pi.hThread);
    const int64_t pid = pi.dwProcessId;
    Children& c = children();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (auto it = c.handles.find(pid); it != c.handles.end()) CloseHandle(it->second);  // reused id
    c.handles[pid] = pi.hProcess;
    return pid;
}

bool killProcess(int64_t pid) {
    HANDLE h = findChild(pid);
    if (h == nullptr || WaitForSingleObject(h, 0) == WAIT_OBJECT_0) return false;
    return TerminateProcess(h, kKilledExitCode) != 0;
}

int waitProcess(int64_t pid) {
    HANDLE h = findChild(pid);
    if (h == nullptr || WaitForSingleObject(h, INFINITE) != WAIT_OBJECT_0) return -1;
    return reap(pid, h);
}

bool waitProcessFor(int64_t pid, int timeoutMs, int* exitCode) {
    HANDLE h = findChild(pid);
    DWORD r =
        h ? WaitForSingleObject(h, timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs)) : WAIT_FAILED;
    if (r == WAIT_TIMEOUT) return false;
    int code = r == WAIT_OBJECT_0 ? reap(pid, h) : -1;
    if (exitCode) *exitCode = code;
    return true;
}

}  // namespace vt::plat
