// Process services on Windows: the process environment block (GetEnvironmentVariableW and
// SetEnvironmentVariableW, which child processes inherit; the C runtime's copy is not used),
// thread ids, FormatMessageW texts, OutputDebugStringW, the ANSI code page and LoadLibraryExW.
#include "platform/system.h"

#include <string>

#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace vt::plat {

const char* const kNativeLineEnd = "\r\n";

namespace {

using win32::fromWide;
using win32::wide;

class Win32Library : public SharedLibrary {
  public:
    explicit Win32Library(HMODULE module) : module_(module) {}
    ~Win32Library() override { FreeLibrary(module_); }
    void* symbol(const char* name) override {
        return reinterpret_cast<void*>(GetProcAddress(module_, name));
    }

  private:
    HMODULE module_;
};

bool isAbsolute(const std::u16string& path) {
    return path.size() >= 3 && path[1] == u':' && (path[2] == u'\\' || path[2] == u'/');
}

}  // namespace

std::optional<std::u16string> getEnv(const char* name) {
    const std::u16string wname = fromUtf8(name);
    std::u16string value(256, u'\0');
    for (;;) {
        SetLastError(0);
        DWORD n = GetEnvironmentVariableW(wide(wname), reinterpret_cast<wchar_t*>(value.data()),
                                          static_cast<DWORD>(value.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::u16string();  // set, but empty
        }
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.resize(n);  // n counts the terminating NUL when the buffer was too small
    }
}

void setEnv(const char* name, const std::optional<std::u16string>& value) {
    const std::u16string wname = fromUtf8(name);
    SetEnvironmentVariableW(wide(wname), value ? wide(*value) : nullptr);
}

uint32_t currentThreadId() {
    return static_cast<uint32_t>(GetCurrentThreadId());
}

std::u16string systemErrorText(int osError) {
    wchar_t* buf = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(osError), 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    if (n == 0 || buf == nullptr) return {};
    std::u16string text = fromWide(buf, n);
    LocalFree(buf);
    // The system's texts end in a line break.
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' '))
        text.pop_back();
    return text;
}

void debugOutput(const std::u16string& text) {
    OutputDebugStringW(wide(text));
}

std::string toNativeNarrow(const std::u16string& text) {
    if (text.empty()) return {};
    const wchar_t* w = wide(text);
    int size = static_cast<int>(text.size());
    int n = WideCharToMultiByte(CP_ACP, 0, w, size, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w, size, out.data(), n, nullptr, nullptr);
    return out;
}

std::unique_ptr<SharedLibrary> SharedLibrary::load(const std::u16string& path,
                                                   std::u16string* error) {
    // A full path lets the library's own dependencies be found beside it.
    HMODULE module =
        LoadLibraryExW(wide(path), nullptr, isAbsolute(path) ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    if (module == nullptr) {
        DWORD err = GetLastError();
        if (error) {
            std::u16string why = systemErrorText(static_cast<int>(err));
            *error = u"cannot load " + path + u": " +
                     (why.empty() ? u"error " + toU16(static_cast<int64_t>(err)) : why);
        }
        return nullptr;
    }
    return std::make_unique<Win32Library>(module);
}

}  // namespace vt::plat
