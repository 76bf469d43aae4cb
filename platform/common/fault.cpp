#include "platform/fault.h"

#include <atomic>

namespace vt::plat::fault {

namespace {
std::atomic<Hook> g_hook{nullptr};
}

void setHook(Hook hook) {
    g_hook.store(hook);
}

bool shouldFail(Op op, const std::u16string& path) {
    Hook h = g_hook.load(std::memory_order_relaxed);
    return h != nullptr && h(op, path);
}

}  // namespace vt::plat::fault
