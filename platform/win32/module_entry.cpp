// Linked into the module only: DllMain runs the module's load and unload hooks.
#include "platform/module_entry.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            DisableThreadLibraryCalls(instance);
            return vt::module_entry::onLoad() ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            // At process exit (reserved != null) other threads are already gone and the
            // process's memory is freed anyway; only a real unload tidies up.
            if (reserved == nullptr) vt::module_entry::onUnload();
            return TRUE;
        default:
            return TRUE;
    }
}
