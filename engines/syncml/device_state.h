// What the SyncML server keeps of each device between sessions, in the device's own folder
// (made for the owner only): its secret (what the password checks need, never the password),
// the nonce it must use next, and the client's Next anchor of the last finished session.
//
// Files are replaced atomically (a temporary file, flushed, renamed), so a crash leaves the old
// or the new state, never a mix. Not thread-safe for one folder: the server serialises the
// sessions of a device.
#pragma once

#include <string>

#include "engines/syncml/auth.h"

namespace vt::syncml {

struct DeviceState {
    std::string clientAnchor;  // empty: no finished session yet (the next one is slow)
    // The server's Next anchor of that session: the Last anchor the client expects next time
    // (the module's own anchors also move on in sessions that did not finish).
    std::string serverAnchor;
    std::string nonce;  // the raw nonce the device's next md5 credential must use
};

// "secret": the user name and b64(md5(user ":" password)), one per line.
bool loadSecret(const std::u16string& folder, Secret* out);
bool saveSecret(const std::u16string& folder, const Secret& secret, std::string* error);

// "state": "anchor=<...>", "server-anchor=<...>" and "nonce=<...>" lines. A missing file is an
// empty state.
DeviceState loadDeviceState(const std::u16string& folder);
bool saveDeviceState(const std::u16string& folder, const DeviceState& state, std::string* error);

}  // namespace vt::syncml
