// The module's lock count: one for every live component object, one for every callback sink
// (an engine may hold one beyond its session), one for every LockServer(TRUE) not yet undone,
// and one while the host holds the cached class object. Each object gives its lock back as the
// last thing its destructor does. The module may be
// unloaded only at zero. Thread-safe (interlocked).
#pragma once

namespace vt::module_lock {

void lock();
void unlock();
long count();

}  // namespace vt::module_lock
