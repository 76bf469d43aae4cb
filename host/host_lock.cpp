#include "host/host_lock.h"

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "host/settings.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/system.h"

namespace vt::host {

namespace {

struct Held {
    plat::File file;
    int holders = 0;
};

// The names this process holds. Opening and closing happen under the mutex, so a name being
// given up is never mistaken for one another process holds.
std::mutex& heldMutex() {
    static std::mutex m;
    return m;
}
std::map<std::u16string, Held>& heldNames() {
    static auto* held = new std::map<std::u16string, Held>();  // outlives static destructors
    return *held;
}

}  // namespace

HostLock::Taken HostLock::take(const std::u16string& name, int waitMs) {
    Taken t;
    const std::u16string folder = plat::joinPath(hostHome(), u"locks");
    const std::u16string path = plat::joinPath(folder, name + u".lock");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> l(heldMutex());
            auto it = heldNames().find(name);
            if (it != heldNames().end()) {
                ++it->second.holders;
                t.heldHere = true;
                t.lock.reset(new HostLock(name));
                return t;
            }
            if (int e = plat::createFolders(folder); e != 0) {
                t.error = format(u"can't create the folder %s: %s", folder, plat::osErrorText(e));
                return t;
            }
            Held held;
            plat::FileException error(plat::kCauseNone, 0, u"");
            if (held.file.tryOpen(path, plat::Access::Write, plat::Disposition::OpenAlways,
                                  plat::Share::Exclusive, &error)) {
                held.holders = 1;
                heldNames().emplace(name, std::move(held));
                t.lock.reset(new HostLock(name));
                return t;
            }
            if (!plat::isSharingViolation(error.osError())) {
                t.error = format(u"can't open the lock file %s: %s", path,
                                 plat::osErrorText(error.osError()));
                return t;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            t.busy = true;
            t.error = format(u"the lock file %s is held by another process", path);
            return t;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

HostLock::Taken HostLock::takePhone(const std::u16string& imei, int waitMs) {
    return take(u"phone-" + imeiKey(imei), waitMs);
}

HostLock::Taken HostLock::takeRecords() {
    return take(u"phone-records", 30000);
}

HostLock::~HostLock() {
    std::lock_guard<std::mutex> l(heldMutex());
    auto it = heldNames().find(name_);
    if (it == heldNames().end() || --it->second.holders > 0) return;
    try {
        it->second.file.close();
    } catch (const plat::FileException&) {
        // The handle is gone either way; a lock file holds no data.
    }
    heldNames().erase(it);
}

}  // namespace vt::host
