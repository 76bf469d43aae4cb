// The fault and pacing settings of a virtual phone, and their text form
// "refuse-status=2,drop-map=1,fail-after=5,cancel-after=3,delay-ms=10" as a host's command line
// gives it. Plain values; the functions are thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "platform/com.h"

namespace vt::engines {

struct VirtualPhoneOptions {
    // 1-based position, within one session, of the PC command whose status the phone refuses
    // with refuseCode instead of applying the command; 0 = none.
    int refuseStatus = 0;
    ULONG refuseCode = 500;
    // 1-based position, within one session, of the PC add whose map the phone never sends (the
    // note is still created and its status 201 still sent); 0 = none.
    int dropMap = 0;
    // After this many callbacks of a session the phone reports SyncStatusFailed(failCode)
    // instead of the next one; -1 = never.
    int failAfter = -1;
    LONG failCode = E_FAIL;
    // After this many callbacks the phone cancels: SyncStatusCanceled instead of the next one;
    // -1 = never.
    int cancelAfter = -1;
    // What GetState answers.
    HRESULT stateResult = S_OK;
    // Pause before every callback, for progress displays; Cancel cuts it short.
    int delayMs = 0;
    // Send the status of a PC add before its map (the map comes first otherwise).
    bool statusFirst = false;

    bool operator==(const VirtualPhoneOptions&) const = default;
};

// Parses comma-separated key=value pairs; an empty text gives the defaults. Keys: refuse-status,
// refuse-code, drop-map, fail-after, fail-code, cancel-after, state-error, delay-ms,
// status-first (0 or 1). Counts are decimal; codes are decimal or 0x-prefixed hex (32 bits, so
// 0x80004005 is E_FAIL). A later pair overrides an earlier one with the same key. On failure
// answers false and sets *error to a message naming the offending pair; *out is unchanged.
bool parseVirtualPhoneOptions(std::u16string_view text, VirtualPhoneOptions* out,
                              std::u16string* error);

// The text form of the settings that differ from the defaults ("" for the defaults); parses
// back to equal options.
std::u16string formatVirtualPhoneOptions(const VirtualPhoneOptions& options);

}  // namespace vt::engines
