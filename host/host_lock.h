// Locks between vantrel processes: a file <hostHome>/locks/<name>.lock held open with
// plat::Share::Exclusive, which another process's exclusive open of the same file refuses with
// a sharing violation (a flock on Linux, a share mode on Windows). The operating system drops
// the lock when the process ends, however it ends; the file itself stays.
//
// Within one process a name's file is opened once: taking the name again while it is held
// counts one more holder (heldHere tells) instead of refusing, and the file is closed when the
// last HostLock of the name goes.
//
// Names in use: "phone-<IMEI key>" for the life of a phone's connection, "phone-records" around
// a change of the phone records that depends on what they held.
//
// Thread-safe.
#pragma once

#include <memory>
#include <string>

namespace vt::host {

class HostLock {
  public:
    struct Taken {
        std::unique_ptr<HostLock> lock;  // null when not taken
        bool busy = false;               // another process holds it (error says so)
        bool heldHere = false;           // this process already held it
        std::u16string error;            // why it was not taken
    };
    // Takes the lock, trying again for up to waitMs while another process holds it (0: once).
    // Creates <hostHome>/locks when missing.
    static Taken take(const std::u16string& name, int waitMs = 0);

    // The lock of a phone's connection, by its IMEI ("IMEI:42" and "42" are one phone).
    static Taken takePhone(const std::u16string& imei, int waitMs = 0);
    // Held around read-check-write sequences on the phone records; waits up to 30 s.
    static Taken takeRecords();

    // Gives up this holder's share; the last one closes the file.
    ~HostLock();
    HostLock(const HostLock&) = delete;
    HostLock& operator=(const HostLock&) = delete;

  private:
    explicit HostLock(std::u16string name) : name_(std::move(name)) {}
    std::u16string name_;
};

}  // namespace vt::host
