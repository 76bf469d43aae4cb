// Process-level services: environment, thread ids, system error texts, debugger output and
// loading shared libraries. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vt::plat {

std::optional<std::u16string> getEnv(const char* name);
// Sets a variable of this process, or removes it when value is empty (nullopt).
void setEnv(const char* name, const std::optional<std::u16string>& value);

// The calling thread's numeric id as the OS shows it.
uint32_t currentThreadId();

// The system's message for an OS error code; empty when it has none.
std::u16string systemErrorText(int osError);
// The system's message, or "error <n>" when it has none (also for codes of 0 and below).
std::u16string osErrorText(int osError);

// Text for a debugger (OutputDebugString on Windows; standard error when VANTREL_DEBUG is set
// on Linux).
void debugOutput(const std::u16string& text);

// Text as the platform writes 8-bit text files (UTF-8 on Linux, the ANSI code page on
// Windows), and the line end of such files.
std::string toNativeNarrow(const std::u16string& text);
extern const char* const kNativeLineEnd;

// A loaded shared library (module).
class SharedLibrary {
  public:
    // Null on failure; *error then says why.
    static std::unique_ptr<SharedLibrary> load(const std::u16string& path, std::u16string* error);
    virtual ~SharedLibrary() = default;
    // The address of an exported function; null when absent.
    virtual void* symbol(const char* name) = 0;
};

// Console programs (the host). Standard output's terminal, when it is one, and the process's
// current folder. Implemented in terminal.cpp.

// True when standard output is a terminal.
bool stdoutIsTerminal();
// The terminal's width in columns; 80 when it can't be told.
int terminalColumns();
// The process's current folder; empty on failure.
std::u16string currentDirectory();
// Makes path the process's current folder; 0 or the OS error code.
int setCurrentDirectory(const std::u16string& path);
// The id of the running process.
uint32_t currentProcessId();

// A long-running console program's stop request: Ctrl-C or SIGTERM (Ctrl-C, Ctrl-Break or the
// console closing on Windows). Call catchStopRequests on the main thread before starting other
// threads; from then on such a request no longer ends the process but is kept for
// waitForStopRequest, which answers true once one came and false when timeoutMs passed first.
void catchStopRequests();
bool waitForStopRequest(int timeoutMs);
// Reads a line from standard input without showing it when that is a terminal (a password).
// False at the end of input.
bool readSecretLine(std::string* line);

}  // namespace vt::plat
