// CFactory: the process-wide registry of controllers, one per phone, keyed by the IMEI's last
// ':'-separated piece. It creates, finds and destroys controllers so that two component objects
// never drive the same phone at once.
//
// Thread-safe: every operation holds one process-wide lock for its whole run, including the
// construction and deletion of a controller and the controller's setNotify; release() is the
// exception (see there).
#pragma once

#include <string>

#include "controller/controller_interface.h"
#include "platform/com.h"
#include "vantrel/sync_engine.h"

namespace vt {

class CFactory {
  public:
    // Constructs the controller for the IMEI's key. E_FAIL when the key is taken or the
    // construction failed (*out is then not written). pEngine is borrowed by the controller.
    static HRESULT createController(const std::u16string& imei, const std::u16string& alias,
                                    uint32_t clientSyncId, vantrel::ISyncEngine* pEngine,
                                    INotesController** out);
    // Deletes the controller of the IMEI's key; E_FAIL when there is none.
    static HRESULT destroyController(const std::u16string& imei);
    // Hands the host's notification object to the controller of the IMEI's key; E_FAIL when
    // there is none. The controller's own answer is not passed on.
    static HRESULT setNotify(const std::u16string& imei, IUnknown* pNotify);

    // The last ':'-separated piece of text.
    static std::u16string keyOf(const std::u16string& text);
    // Number of live controllers.
    static size_t count();
    // Frees the registry itself (the module's unload); the next operation makes a new one.
    // Does nothing and answers false while a controller lives. No other operation may run
    // meanwhile.
    static bool release();
};

}  // namespace vt
