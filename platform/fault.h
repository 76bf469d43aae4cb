// Fault injection for crash and failure tests. The file backends ask shouldFail() before
// every write, flush, length change and rename; a test installs a hook that may make that
// operation fail (as an I/O error) or end the process right there to simulate a crash.
// Without a hook nothing changes. The hook is process-wide; install it before the work starts.
#pragma once

#include <string>

namespace vt::plat::fault {

enum class Op { Write, Flush, SetLength, Rename };

// Returns true to make the operation fail with an I/O error.
using Hook = bool (*)(Op op, const std::u16string& path);

void setHook(Hook hook);
bool shouldFail(Op op, const std::u16string& path);

}  // namespace vt::plat::fault
