// SyncML status codes (the numbers of the SyncML representation protocol) as they travel
// between the module and an engine: the statuses the module answers for the phone's commands
// (the out status of an item callback) and the phone's answers to the PC's commands
// (ClientCmdStatus). The numbers are the protocol's own and never change.
#pragma once

namespace vantrel {

enum SyncMLStatus : long {
    kStatusOk = 200,
    kStatusItemAdded = 201,
    kStatusBadRequest = 400,
    kStatusNotFound = 404,
    kStatusOptionalNotSupported = 406,
    kStatusConflictResolvedWithServerData = 419,
    kStatusCommandNotImplemented = 501,
    kStatusDataStoreFailure = 510,
};

// The statuses that report success (2xx).
inline constexpr bool isSuccessStatus(long status) {
    return status >= 200 && status <= 299;
}

}  // namespace vantrel
