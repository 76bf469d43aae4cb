// Setting up the phones a command works on: the phone options resolved against the host's
// records, the module opened and each phone connected and recorded.
//
// Not thread-safe: one thread sets up and uses the phones (host/phone_link.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/command_line.h"
#include "host/module_host.h"
#include "host/phone_link.h"

namespace vt::host {

// Resolves the phones cl names (every known phone with --all, the default phone when it names
// none) against the host's records: IMEI, alias and store, each from the command line, else the
// record, else the defaults. requireKnown: each must have been synchronised before. False, with
// the reason on standard error, for an unknown phone (requireKnown), a claim the records refuse,
// a phone named twice or two phones sharing an alias or a store.
bool resolvePhones(const CommandLine& cl, bool requireKnown, std::vector<PhoneSetup>* setups);

// The module and the phones connected to it.
struct Connected {
    std::shared_ptr<ModuleHost> module;
    std::vector<std::unique_ptr<PhoneLink>> links;
    ~Connected();  // the objects first, the module last
};

// Opens the module (or cl's --progid) and connects every phone and records it. A phone that
// another process has is reported; with skipBusy it is left out and counted in *busy, otherwise
// it stops everything, as any other failure does. False with the reason on standard error.
bool connectAll(const CommandLine& cl, const std::vector<PhoneSetup>& setups, Connected* c,
                bool skipBusy = false, int* busy = nullptr, bool forReadOut = false);

}  // namespace vt::host
