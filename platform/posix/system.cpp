// Process services on Linux: the environment (guarded against concurrent change through this
// layer), thread ids, strerror texts, standard-error debug output and dlopen.
#include "platform/system.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "platform/text.h"

namespace vt::plat {

const char* const kNativeLineEnd = "\n";

namespace {

std::mutex& envMutex() {
    static std::mutex m;
    return m;
}

// strerror_r comes in two forms: the XSI one returns an int and fills buf, the GNU one returns
// the text (which may or may not be buf).
[[maybe_unused]] const char* errorTextOf(int result, const char* buf) {
    return result == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* errorTextOf(const char* result, const char*) {
    return result;
}

class PosixLibrary : public SharedLibrary {
  public:
    explicit PosixLibrary(void* handle) : handle_(handle) {}
    ~PosixLibrary() override { dlclose(handle_); }
    void* symbol(const char* name) override { return dlsym(handle_, name); }

  private:
    void* handle_;
};

}  // namespace

std::optional<std::u16string> getEnv(const char* name) {
    std::lock_guard<std::mutex> lock(envMutex());
    const char* v = getenv(name);
    if (v == nullptr) return std::nullopt;
    return fromUtf8(v);
}

void setEnv(const char* name, const std::optional<std::u16string>& value) {
    std::lock_guard<std::mutex> lock(envMutex());
    if (value)
        setenv(name, toUtf8(*value).c_str(), 1);
    else
        unsetenv(name);
}

uint32_t currentThreadId() {
    return static_cast<uint32_t>(gettid());
}

std::u16string systemErrorText(int osError) {
    char buf[256] = {};
    const char* text = errorTextOf(strerror_r(osError, buf, sizeof buf), buf);
    // The C library names unknown codes "Unknown error N"; such a code has no message.
    if (text == nullptr || *text == 0 || strncmp(text, "Unknown error", 13) == 0) return {};
    return fromUtf8(text);
}

void debugOutput(const std::u16string& text) {
    std::optional<std::u16string> on = getEnv("VANTREL_DEBUG");
    if (!on || on->empty()) return;
    std::string bytes = toUtf8(text);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::string toNativeNarrow(const std::u16string& text) {
    return toUtf8(text);
}

std::unique_ptr<SharedLibrary> SharedLibrary::load(const std::u16string& path,
                                                   std::u16string* error) {
    void* handle = dlopen(toUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        if (error) {
            const char* why = dlerror();
            *error = why ? fromUtf8(why) : u"cannot load " + path;
        }
        return nullptr;
    }
    return std::make_unique<PosixLibrary>(handle);
}

}  // namespace vt::plat
