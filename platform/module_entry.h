// The hooks a module (shared library / DLL) runs when the operating system loads and unloads
// it. The module defines both; the platform's entry point calls them: DllMain on Windows, the
// shared library's constructor and destructor on Linux. They run under the loader's lock: no
// waiting on other threads, no loading of other modules.
#pragma once

namespace vt::module_entry {

// Returns false to refuse the load.
bool onLoad();
void onUnload();

}  // namespace vt::module_entry
