// Setting up the phones a command works on: the set-up that sync, export, read-out and import
// share, from the registry check to every phone connected to the module and recorded.
//
// Not thread-safe: one thread sets up and uses the phones (host/phone_link.h), and the set-up
// moves the process into the work folder (host/command_support.h).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "host/command_line.h"
#include "host/command_support.h"
#include "host/module_host.h"
#include "host/phone_link.h"

namespace vt::host {

// What a command that drives phones holds while it runs: COM, the work folder, the module and a
// link to each phone. Released in the reverse order: the links (the module's objects) first,
// then the module, then the work folder and COM.
class PhoneSession {
  public:
    struct Options {
        // Every phone must have been synchronised on this PC before.
        bool requireKnown = false;
        // A phone another process is synchronising is reported and left out (counted in
        // busy()); otherwise it stops the set-up, as any other failure does.
        bool skipBusy = false;
        // The links are for reading the module's copy of the notes out: a notes folder that
        // vanished after sessions is no obstacle (PhoneLink::connect).
        bool forReadOut = false;
        // Runs once the phones are resolved, before COM, the work folder and the module: what
        // the command checks or prepares first. False stops the set-up; it has said why.
        std::function<bool()> beforeConnecting = nullptr;
    };

    PhoneSession() = default;
    ~PhoneSession();
    PhoneSession(const PhoneSession&) = delete;
    PhoneSession& operator=(const PhoneSession&) = delete;

    // Checks that the registry accepts changes, resolves the phones cl names against the host's
    // records (every known phone with --all, the default phone when it names none; each option
    // from the command line, else the record, else the default), enters COM and the work folder,
    // opens the registered module (or cl's --progid), connects every phone, printing what
    // connecting did for it, and records it. False, with the reason on standard error, when a
    // step fails: the registry, an unknown phone (requireKnown), a claim the records refuse, a
    // phone named twice, two phones sharing an alias or a store, the module or a connection.
    // Called once.
    bool open(const CommandLine& cl, const Options& options);

    // The phones connected, in the order named (without those left out with skipBusy).
    const std::vector<std::unique_ptr<PhoneLink>>& links() const { return links_; }
    // How many phones were left out because another process has them.
    int busy() const { return busy_; }

  private:
    std::optional<ComScope> com_;
    std::optional<ScopedWorkFolder> work_;
    std::shared_ptr<ModuleHost> module_;
    std::vector<std::unique_ptr<PhoneLink>> links_;
    int busy_ = 0;
};

}  // namespace vt::host
