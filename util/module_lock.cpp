#include "util/module_lock.h"

#include <atomic>

namespace vt::module_lock {

namespace {
std::atomic<long> g_count{0};
}

void lock() {
    ++g_count;
}
void unlock() {
    --g_count;
}
long count() {
    return g_count.load();
}

}  // namespace vt::module_lock
