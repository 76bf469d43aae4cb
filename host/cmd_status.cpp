// `vantrel status`: the registration, the settings and what the host knows of each phone.
#include <vector>

#include "host/command_support.h"
#include "host/command_table.h"
#include "host/commands.h"
#include "host/module_host.h"
#include "host/note_lists.h"
#include "host/phone_link.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/special_folders.h"
#include "platform/xml.h"

namespace vt::host {

namespace {

// When the last session began, as the module recorded it in the notes folder's folder.xml;
// empty when it can't be read.
std::u16string lastSessionStart(const std::u16string& notesFolder) {
    auto doc = plat::XmlDocument::create();
    if (!doc) return {};
    try {
        if (!doc->load(plat::joinPath(notesFolder, u"folder.xml"))) return {};
        auto nodes = doc->elementsByTagName(u"LastSync");
        return nodes.empty() ? std::u16string() : nodes.front()->text();
    } catch (const plat::XmlError&) {
        return {};
    }
}

}  // namespace

int cmdStatus(const CommandLine& cl) {
    if (!cl.positional.empty() || cl.phones.size() > 1) {
        err(u"status takes no arguments and at most one --imei");
        return kExitUsage;
    }
    const bool registryOk = registryUsable();
    std::u16string error;
    PluginLocation loc;
    out(u"Registry: " + plat::registryLocation());
    if (findPlugin(kDataStore, &loc, &error))
        out(format(u"Plug-in for \"Notes\": %s (class %s, %s)", loc.modulePath, loc.clsidText,
                   loc.mimeType));
    else
        out(u"Plug-in for \"Notes\": not registered (run `vantrel register`)");
    for (const Setting& s : settings()) {
        std::u16string v;
        if (readSetting(s, &v) == plat::kErrorSuccess)
            out(format(u"%-21s %s", s.name, v));
        else
            out(format(u"%-21s (not set)", s.name));
    }
    std::vector<PhoneRecord> records = loadPhoneRecords();
    if (!cl.phones.empty()) {
        PhoneRecord r;
        const std::u16string imei = cl.phones[0].imei.value_or(kDefaultImei);
        if (!loadPhoneRecord(imei, &r)) {
            err(format(u"unknown phone: IMEI %s has never been synchronised on this PC", imei));
            return kExitFailed;
        }
        records = {r};
    }
    out(format(u"Phones known: %d", records.size()));
    std::u16string appData;
    plat::appDataFolder(false, &appData);
    for (const PhoneRecord& r : records) {
        const std::u16string notes = pcNotesFolder(r.alias);
        out(format(u"  %s (IMEI %s)", r.alias, r.imei));
        if (notes.empty())
            out(u"    PC notes folder:  (Root not set)");
        else if (!isDirectory(notes))
            out(format(u"    PC notes folder:  %s (missing%s)", notes,
                       r.notes > 0 ? format(u"; %d notes at the last session", r.notes)
                                   : std::u16string()));
        else
            out(format(u"    PC notes folder:  %s (%d notes)", notes, listPcNotes(notes).size()));
        // A SyncML device's store is the server's folder for it (`vantrel device add`).
        if (isSyncMLDevice(r))
            out(format(u"    SyncML device:    syncs through `vantrel serve` (state in %s)",
                       r.store));
        else
            out(format(u"    phone store:      %s (%d notes)", r.store,
                       listPhoneNotes(r.store).size()));
        out(format(u"    module's data:    %s",
                   plat::joinPath(plat::joinPath(plat::joinPath(appData, u"Morvex"), r.imei),
                                  u"NotesDB")));
        out(format(u"    last session:     %s", r.lastSync.empty()
                                                    ? std::u16string(u"never")
                                                    : r.lastSync + u", " + r.lastResult));
        if (!notes.empty()) {
            const std::u16string started = lastSessionStart(notes);
            if (!started.empty()) out(format(u"    started (folder.xml): %s", started));
        }
    }
    return registryOk ? kExitOk : kExitFailed;
}

}  // namespace vt::host
