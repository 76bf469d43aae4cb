// The controller interface: what the component object asks of one phone's controller. The
// order of the operations is fixed (slots 0 to 6, then the virtual destructor). All results
// are HRESULTs. Calls on one controller come from one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com.h"

namespace vt {

class INotesController {
  public:
    // Slot 0: starts a two-way session and returns once it runs.
    virtual HRESULT synchronize() = 0;
    // Slot 1: keeps its place; answers E_NOTIMPL.
    virtual HRESULT reservedOperation() = 0;
    // Slot 2: answers E_NOTIMPL.
    virtual HRESULT getDataStoreInfo() = 0;
    // Slot 3: takes one note into the import collection; answers the collected count.
    virtual HRESULT datafileIn(const uint8_t* data, int32_t length,
                               const std::u16string& itemName) = 0;
    // Slot 4: writes every stored note into targetFolder.
    virtual HRESULT datafilesOut(const std::u16string& targetFolder) = 0;
    // Slot 5: runs one session and returns when it has ended.
    virtual HRESULT exportFromDevice() = 0;
    // Slot 6: moves the collected notes into the notes folder and runs one session.
    virtual HRESULT importToDevice(bool append, bool itemOverwrite) = 0;
    // Slot 7.
    virtual ~INotesController() = default;
};

}  // namespace vt
