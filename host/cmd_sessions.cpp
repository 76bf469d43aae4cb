// The commands that run the module's operations with phones: `vantrel sync`, `export`,
// `read-out` and `import`.
#include <vector>

#include "host/command_support.h"
#include "host/command_table.h"
#include "host/commands.h"
#include "host/phone_link.h"
#include "host/phone_setup.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/time.h"

namespace vt::host {

namespace {

// The notes (*.txt files) in a PC notes folder.
int64_t countPcNotes(const std::u16string& folder) {
    int64_t n = 0;
    for (const auto& e : plat::findFiles(plat::joinPath(folder, u"*.txt")))
        if (!e.isDirectory) ++n;
    return n;
}

void recordOutcome(const PhoneLink& link, const SessionReport& r) {
    // The notes a finished session left tell later runs whether a missing notes folder held
    // notes the module knows.
    recordSession(link.setup().imei, plat::userLocaleDateTime(plat::currentTime()),
                  r.what + u" " + outcomeText(r), r.ok ? countPcNotes(link.notesFolder()) : -1);
}

void printReport(const PhoneLink& link, const SessionReport& r) {
    for (const auto& l : summaryLines(link.setup().alias, r)) out(l);
}

}  // namespace

int cmdSync(const CommandLine& cl) {
    if (!cl.positional.empty()) {
        err(u"sync takes no arguments besides options");
        return kExitUsage;
    }
    PhoneSession session;
    // Phones another process has are reported and left out.
    if (!session.open(cl, {.skipBusy = true})) return kExitFailed;
    // Every phone's session runs at once; the module keeps one controller per phone.
    std::vector<bool> started;
    for (const auto& link : session.links()) {
        out(format(u"%s: synchronising %s with %s", link->setup().alias, link->notesFolder(),
                   link->setup().store));
        started.push_back(link->startSync());
    }
    bool allOk = true;
    for (size_t i = 0; i < session.links().size(); ++i) {
        PhoneLink& link = *session.links()[i];
        SessionReport r = started[i] ? link.finishSession(timeoutMs(cl)) : link.lastReport();
        recordOutcome(link, r);
        printReport(link, r);
        allOk = allOk && r.ok;
    }
    return allOk && session.busy() == 0 ? kExitOk : kExitFailed;
}

int cmdExport(const CommandLine& cl) {
    if (!cl.positional.empty() || cl.phones.size() > 1) {
        err(u"export takes one phone and no arguments");
        return kExitUsage;
    }
    PhoneSession session;
    if (!session.open(cl, {})) return kExitFailed;
    PhoneLink& link = *session.links()[0];
    out(format(u"%s: exporting (one session) between %s and %s", link.setup().alias,
               link.notesFolder(), link.setup().store));
    SessionReport r = link.exportFromPhone(timeoutMs(cl));
    recordOutcome(link, r);
    printReport(link, r);
    return r.ok ? kExitOk : kExitFailed;
}

int cmdReadOut(const CommandLine& cl) {
    if (cl.positional.size() != 1 || cl.phones.size() > 1) {
        err(u"read-out needs exactly one DIR (and at most one phone)");
        return kExitUsage;
    }
    const std::u16string dir = absolutePath(cl.positional[0]);
    // DIR is made once the phone is known to be there, and before the module is loaded.
    auto makeDir = [&dir] {
        plat::FileStatus st;
        if (plat::getFileStatus(dir, &st) && !st.isDirectory) {
            err(format(u"%s is a file, not a folder", dir));
            return false;
        }
        if (int e = plat::createFolders(dir); e != 0) {
            err(format(u"can't create the folder %s: %s", dir, plat::osErrorText(e)));
            return false;
        }
        return true;
    };
    PhoneSession session;
    if (!session.open(cl, {.requireKnown = true, .forReadOut = true, .beforeConnecting = makeDir}))
        return kExitFailed;
    PhoneLink& link = *session.links()[0];
    HRESULT hr = link.readAllOut(dir);
    if (FAILED(hr)) {
        err(
            format(u"the module could not write every note into %s (0x%08X); see the notes that "
                   u"are there",
                   dir, hr));
        return kExitFailed;
    }
    size_t count = 0;
    for (const auto& e : plat::findFiles(plat::joinPath(dir, u"*")))
        if (!e.isDirectory) ++count;
    out(
        format(u"%s: wrote the notes as last exchanged with the phone into %s (%d files there "
               u"now)",
               link.setup().alias, dir, count));
    return kExitOk;
}

int cmdImport(const CommandLine& cl) {
    if (cl.positional.empty() || cl.phones.size() > 1) {
        err(u"import needs at least one FILE (and at most one phone)");
        return kExitUsage;
    }
    // Every file is read before anything is handed over, so a bad one changes nothing.
    std::vector<PhoneLink::ImportItem> items;
    for (const auto& p : cl.positional) {
        const std::u16string path = absolutePath(p);
        plat::File f;
        plat::FileException e(plat::kCauseNone, 0, u"");
        if (!f.tryOpen(path, plat::Access::Read, plat::Disposition::OpenExisting,
                       plat::Share::DenyNone, &e)) {
            err(format(u"can't read %s: %s; nothing was imported", path,
                       plat::osErrorText(e.osError())));
            return kExitFailed;
        }
        PhoneLink::ImportItem item;
        try {
            // Linux opens a folder for reading; Windows refuses it with notAFileError().
            if (f.status().isDirectory)
                throw plat::FileException(plat::kCauseAccessDenied, plat::notAFileError(), path);
            item.bytes.resize(f.length());
            item.bytes.resize(f.readAt(0, item.bytes.data(), item.bytes.size()));
        } catch (const plat::FileException& x) {
            err(format(u"can't read %s: %s; nothing was imported", path,
                       plat::osErrorText(x.osError())));
            return kExitFailed;
        }
        if (item.bytes.empty()) {
            err(format(u"%s is empty; a note needs content, nothing was imported", path));
            return kExitFailed;
        }
        item.name = plat::fileNameOf(path);
        if (item.name.size() < 4 ||
            !equalsIgnoreAsciiCase(item.name.substr(item.name.size() - 4), u".txt"))
            item.name += u".txt";
        items.push_back(std::move(item));
    }
    PhoneSession session;
    if (!session.open(cl, {})) return kExitFailed;
    PhoneLink& link = *session.links()[0];
    const bool replace = cl.flags.count(u"--replace") > 0;
    const bool overwrite = cl.flags.count(u"--item-overwrite") > 0;
    out(format(u"%s: importing %d note(s) into %s%s%s", link.setup().alias, items.size(),
               link.notesFolder(), replace ? u", replacing the notes there" : u"",
               overwrite ? u", under their own names" : u", under neutral names"));
    SessionReport r = link.importToPhone(items, replace, overwrite, timeoutMs(cl));
    recordOutcome(link, r);
    if (r.end.state < 0 && !r.message.empty() && r.durationMs == 0) {
        err(r.message);
        return kExitFailed;
    }
    printReport(link, r);
    return r.ok ? kExitOk : kExitFailed;
}

}  // namespace vt::host
