// The module's lock count: one for every live component object, one for every LockServer(TRUE)
// not yet undone, and one while the host holds the cached class object. The module may be
// unloaded only at zero. Thread-safe (interlocked).
#pragma once

namespace vt::module_lock {

void lock();
void unlock();
long count();

}  // namespace vt::module_lock
