#include "host/commands.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "host/command_line.h"
#include "host/command_support.h"
#include "host/command_table.h"
#include "host/console.h"
#include "host/demo.h"
#include "host/help.h"
#include "host/module_host.h"
#include "host/note_lists.h"
#include "host/phone_link.h"
#include "host/phone_setup.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/format.h"
#include "platform/language.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/time.h"
#include "platform/xml.h"

#ifndef VANTREL_MODULE_PATH
#define VANTREL_MODULE_PATH ""
#define VANTREL_MODULE_NAME ""
#endif

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

// ---- commands ----

// After registration: sets "Current Language" when neither it nor the other key the module
// reads is set, so that the notes folder's name doesn't depend on the order in which the
// language folder happens to be listed. The locale's language when it has a file, else
// English; but when known phones' notes folders already have the name the listing gives, that
// language, so that none of them is left behind. False when the registry refused the value.
bool chooseLanguage() {
    const Setting& s = settings()[2];
    std::u16string value;
    if (readSetting(s, &value) == plat::kErrorSuccess) {
        out(format(u"%s = %s (already set; kept)", s.name, value));
        return true;
    }
    const std::u16string listed = languageInUse(u"");
    plat::RegKey platform;
    if (plat::RegKey::root(plat::RegRoot::LocalMachine)
                .open(u"Software\\Orvane\\Platform", &platform) == plat::kErrorSuccess &&
        platform.queryString(s.name, &value) == plat::kErrorSuccess && !value.empty()) {
        out(
            format(u"%s is not set; the module uses \"%s\" from "
                   u"HKEY_LOCAL_MACHINE\\Software\\Orvane\\Platform",
                   s.name, value));
        return true;
    }
    if (listed.empty()) {
        out(format(u"%s is not set: there is no language file in %s", s.name, languageFolder()));
        return true;
    }
    const std::u16string locale = plat::userLanguage();
    std::u16string why;
    if (!locale.empty() && !languageFile(locale).empty()) {
        value = locale;
        why = u"the language of your locale";
    } else if (!languageFile(u"en").empty()) {
        value = u"en";
        why = locale.empty() ? std::u16string(
                                   u"your locale names no language; English is the "
                                   u"default")
                             : format(
                                   u"there is no language file for your locale's language "
                                   u"\"%s\"; English is the default",
                                   locale);
    } else {
        value = listed;
        why = u"the only language there is";
    }
    const std::u16string root = rootFolder(), name = notesFolderNameFor(u"");
    if (value != listed && notesFolderNameFor(value) != name && !root.empty()) {
        for (const PhoneRecord& r : loadPhoneRecords()) {
            if (isDirectory(plat::joinPath(plat::joinPath(root, r.alias), name))) {
                why = format(
                    u"the notes folders of your phones are named \"%s\" already; "
                    u"`vantrel config language %s` renames them",
                    name, value);
                value = listed;
                break;
            }
        }
    }
    if (int32_t e = writeSetting(s, value); e != plat::kErrorSuccess) {
        err(registryErrorText(e));
        return false;
    }
    out(format(u"%s = %s (%s; notes folder \"%s\")", s.name, value, why,
               notesFolderNameFor(value)));
    return true;
}

int cmdRegister(const CommandLine& cl) {
    if (cl.positional.size() > 1 || (cl.positional.size() == 1 && cl.module)) {
        err(u"register takes one MODULE (or --module)");
        return kExitUsage;
    }
    std::u16string module = !cl.positional.empty() ? cl.positional[0]
                            : cl.module            ? *cl.module
                                                   : defaultModulePath();
    if (module.empty()) {
        err(u"no module known to this build; give its path: vantrel register MODULE");
        return kExitUsage;
    }
    module = absolutePath(module);
    if (!registryUsable()) return kExitFailed;
    ComScope com;
    std::u16string error;
    if (!registerModule(module, &error)) {
        err(error);
        return kExitFailed;
    }
    PluginLocation loc;
    if (!findPlugin(kDataStore, &loc, &error)) {
        err(u"the module registered itself, but not as the plug-in for \"Notes\": " + error);
        return kExitFailed;
    }
    out(format(u"registered %s as the plug-in for \"%s\" (%s, class %s) in %s", loc.modulePath,
               loc.dataStore, loc.mimeType, loc.clsidText, plat::registryLocation()));
    return chooseLanguage() ? kExitOk : kExitFailed;
}

int cmdUnregister(const CommandLine& cl) {
    if (!cl.positional.empty()) {
        err(u"unregister takes no arguments (use --module MODULE)");
        return kExitUsage;
    }
    if (!registryUsable()) return kExitFailed;
    ComScope com;
    std::u16string error;
    PluginLocation loc;
    const bool wasRegistered = findPlugin(kDataStore, &loc, &error);
    if (!cl.module && !wasRegistered) {
        err(u"nothing to unregister: " + error);
        return kExitFailed;
    }
    const std::u16string module = cl.module ? absolutePath(*cl.module) : loc.modulePath;
    if (!unregisterModule(module, &error)) {
        if (!cl.module)
            error +=
                u"\n(another build of the module removes the same registration: vantrel "
                u"unregister --module MODULE)";
        err(error);
        return kExitFailed;
    }
    if (findPlugin(kDataStore, &loc, &error)) {
        err(format(u"the plug-in for \"Notes\" is still registered (%s)", loc.modulePath));
        return kExitFailed;
    }
    out(format(u"unregistered %s", module));
    return kExitOk;
}

// A notes folder to be renamed for a language change.
struct FolderMove {
    std::u16string alias, from, to;
    bool emptyTarget = false;  // an empty folder of the new name is removed first
};

bool isEmptyFolder(const std::u16string& folder) {
    std::vector<plat::FindEntry> entries;
    if (plat::searchFolder(plat::joinPath(folder, u"*"), plat::FindDetail::NamesOnly, &entries) !=
        0)
        return false;
    for (const auto& e : entries)
        if (e.name != u"." && e.name != u"..") return false;
    return true;
}

// Sets "Current Language" (unsets it when language is empty) and renames every known phone's
// notes folder from the old language's name to the new one's, so that no session finds its
// folder empty. Refuses, changing nothing, when a phone is busy, a target holds something or a
// rename fails (the renames done are undone).
int changeLanguage(const Setting& s, const std::u16string& language) {
    if (!language.empty() && languageFile(language).empty()) {
        std::u16string known;
        for (const auto& l : availableLanguages()) known += (known.empty() ? u"" : u", ") + l;
        err(
            format(u"unknown language \"%s\": there is no language file %s (languages there: "
                   u"%s); nothing was changed",
                   language, plat::joinPath(languageFolder(), u"MorVex_" + language + u".qlr"),
                   known.empty() ? std::u16string(u"none") : known));
        return kExitFailed;
    }
    if (!registryUsable()) return kExitFailed;
    const std::u16string oldName = notesFolderName(), newName = notesFolderNameFor(language);
    const std::u16string root = rootFolder();
    // Each phone's lock is held until the setting is written: no session of another process
    // may start between the move and the change.
    std::vector<std::unique_ptr<HostLock>> locks;
    std::vector<FolderMove> moves;
    if (oldName != newName && !root.empty()) {
        for (const PhoneRecord& r : loadPhoneRecords()) {
            const PhoneSetup phone{r.imei, r.alias, r.store, u""};
            HostLock::Taken taken = HostLock::takePhone(r.imei);
            const bool busy =
                taken.lock ? !taken.heldHere && recordStoreHeldElsewhere(r.imei) : taken.busy;
            if (!taken.lock || busy) {
                err(busy ? busyPhoneText(phone) +
                               u"; the language was not changed, try again when it has finished"
                         : taken.error + u"; the language was not changed");
                return kExitFailed;
            }
            locks.push_back(std::move(taken.lock));
            const std::u16string phoneFolder = plat::joinPath(root, r.alias);
            const std::u16string from =
                oldName.empty() ? phoneFolder : plat::joinPath(phoneFolder, oldName);
            if (!isDirectory(phoneFolder) || !isDirectory(from)) continue;  // nothing there yet
            if (oldName.empty() || newName.empty()) {
                err(
                    format(u"the notes of phone '%s' are in %s itself (no language file named "
                           u"a notes folder), and \"%s\" can't be moved into it; move them "
                           u"yourself. Nothing was changed",
                           r.alias, phoneFolder, newName.empty() ? oldName : newName));
                return kExitFailed;
            }
            FolderMove m{r.alias, from, plat::joinPath(phoneFolder, newName)};
            plat::FileStatus st;
            if (plat::getFileStatus(m.to, &st)) {
                if (!st.isDirectory || !isEmptyFolder(m.to)) {
                    err(
                        format(u"phone '%s': %s is there already and isn't empty, so the notes "
                               u"folder %s can't be renamed to it; move or merge the notes "
                               u"yourself. Nothing was changed",
                               r.alias, m.to, from));
                    return kExitFailed;
                }
                m.emptyTarget = true;
            }
            moves.push_back(std::move(m));
        }
    }
    std::u16string failure;
    size_t done = 0;
    for (; done < moves.size() && failure.empty(); ++done) {
        const FolderMove& m = moves[done];
        if (m.emptyTarget) {
            if (int e = plat::removeDirectory(m.to); e != 0) {
                failure = format(u"can't remove the empty folder %s: %s", m.to, osErrorText(e));
                break;
            }
        }
        if (int e = plat::renameFile(m.from, m.to); e != 0) {
            failure = format(u"can't rename %s to %s: %s", m.from, m.to, osErrorText(e));
            if (m.emptyTarget) plat::createDirectory(m.to);
            break;
        }
    }
    if (failure.empty()) {
        int32_t e = language.empty() ? removeSetting(s) : writeSetting(s, language);
        if (e != plat::kErrorSuccess && !(language.empty() && e == plat::kErrorFileNotFound))
            failure = registryErrorText(e);
    }
    if (!failure.empty()) {
        bool undone = true;
        while (done-- > 0) {
            const FolderMove& m = moves[done];
            if (int e = plat::renameFile(m.to, m.from); e != 0) {
                err(format(u"can't rename %s back to %s: %s; do it yourself", m.to, m.from,
                           osErrorText(e)));
                undone = false;
            } else if (m.emptyTarget) {
                plat::createDirectory(m.to);
            }
        }
        err(failure + (undone ? u"; nothing was changed" : u"; the language was not changed"));
        return kExitFailed;
    }
    for (const FolderMove& m : moves)
        out(format(u"moved the notes of phone '%s': %s -> %s", m.alias, m.from, m.to));
    if (language.empty())
        out(format(u"%s is no longer set (notes folder \"%s\")", s.name, newName));
    else
        out(format(u"%s = %s (notes folder \"%s\")", s.name, language, newName));
    return kExitOk;
}

int cmdConfig(const CommandLine& cl) {
    if (cl.unset) {
        if (!cl.positional.empty()) {
            err(u"config --unset NAME takes nothing else");
            return kExitUsage;
        }
        const Setting* s = findSetting(*cl.unset);
        if (!s) {
            err(format(u"unknown setting \"%s\" (Root, Logging Levels, Current Language)",
                       *cl.unset));
            return kExitUsage;
        }
        if (s == &settings()[2]) return changeLanguage(*s, u"");
        if (!registryUsable()) return kExitFailed;
        int32_t e = removeSetting(*s);
        if (e != plat::kErrorSuccess && e != plat::kErrorFileNotFound) {
            err(registryErrorText(e));
            return kExitFailed;
        }
        out(format(u"%s is no longer set", s->name));
        return kExitOk;
    }
    if (cl.positional.size() > 2) {
        err(u"config takes at most NAME and VALUE (quote a VALUE with spaces)");
        return kExitUsage;
    }
    if (cl.positional.empty()) {
        out(u"Settings in " + plat::registryLocation() + u":");
        for (const Setting& s : settings()) {
            std::u16string v;
            if (readSetting(s, &v) == plat::kErrorSuccess)
                out(format(u"  %-17s = %s", s.name, v));
            else
                out(format(u"  %-17s   (not set)", s.name));
        }
        return kExitOk;
    }
    const Setting* s = findSetting(cl.positional[0]);
    if (!s) {
        err(format(u"unknown setting \"%s\" (Root, Logging Levels, Current Language)",
                   cl.positional[0]));
        return kExitUsage;
    }
    if (cl.positional.size() == 1) {
        std::u16string v;
        if (readSetting(*s, &v) != plat::kErrorSuccess) {
            out(format(u"%s is not set: %s", s->name, s->help));
            return kExitFailed;
        }
        out(v);
        return kExitOk;
    }
    std::u16string value = cl.positional[1];
    if (s == &settings()[2]) {
        if (value.empty()) {
            err(u"give a language such as \"en\" (or use config --unset language)");
            return kExitUsage;
        }
        return changeLanguage(*s, value);
    }
    if (!registryUsable()) return kExitFailed;
    if (s == &settings()[0]) {
        value = absolutePath(value);
        if (!isDirectory(value)) {
            if (int e = plat::createFolders(value); e != 0) {
                err(format(u"can't create the folder %s: %s", value, osErrorText(e)));
                return kExitFailed;
            }
            out(format(u"created the folder %s", value));
        }
    }
    if (int32_t e = writeSetting(*s, value); e != plat::kErrorSuccess) {
        err(registryErrorText(e));
        return kExitFailed;
    }
    out(format(u"%s = %s", s->name, value));
    return kExitOk;
}

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
            err(format(u"can't create the folder %s: %s", dir, osErrorText(e)));
            return false;
        }
        return true;
    };
    PhoneSession session;
    if (!session.open(cl, {.requireKnown = true, .forReadOut = true, .beforeConnecting = makeDir}))
        return kExitFailed;
    PhoneLink& link = *session.links()[0];
    const size_t before = plat::findFiles(plat::joinPath(dir, u"*")).size();
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
    (void)before;
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
        plat::FileException e(0, 0, u"");
        if (!f.tryOpen(path, plat::Access::Read, plat::Disposition::OpenExisting,
                       plat::Share::DenyNone, &e)) {
            err(format(u"can't read %s: %s; nothing was imported", path, osErrorText(e.osError())));
            return kExitFailed;
        }
        PhoneLink::ImportItem item;
        try {
            if (f.status().isDirectory) throw plat::FileException(5, 21, path);
            item.bytes.resize(f.length());
            item.bytes.resize(f.readAt(0, item.bytes.data(), item.bytes.size()));
        } catch (const plat::FileException& x) {
            err(format(u"can't read %s: %s; nothing was imported", path, osErrorText(x.osError())));
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

int cmdDemo(const CommandLine& cl) {
    if (!cl.positional.empty()) {
        err(u"demo takes no arguments (use --module MODULE)");
        return kExitUsage;
    }
    const std::u16string module = cl.module ? absolutePath(*cl.module) : defaultModulePath();
    if (module.empty()) {
        err(u"no module known to this build; give its path: vantrel demo --module MODULE");
        return kExitUsage;
    }
    std::u16string error;
    const std::u16string home = makeDemoSandbox(&error);
    if (home.empty()) {
        err(error);
        return kExitFailed;
    }
    return runDemo(home, module);
}

std::u16string defaultModulePath() {
    const std::u16string built = fromUtf8(VANTREL_MODULE_PATH);
    plat::FileStatus st;
    if (!built.empty() && plat::getFileStatus(built, &st)) return built;
    // <build>/host/vantrel -> <build>/frontend/<module file>
    const std::u16string build = plat::parentFolder(plat::parentFolder(plat::hostExecutablePath()));
    if (!build.empty()) {
        std::u16string candidate =
            plat::joinPath(plat::joinPath(build, u"frontend"), fromUtf8(VANTREL_MODULE_NAME));
        if (plat::getFileStatus(candidate, &st) && !st.isDirectory) return candidate;
    }
    return built;
}

int runCommandLine(const std::vector<std::u16string>& args) {
    CommandLine cl;
    std::u16string error;
    if (!parseCommandLine(args, &cl, &error)) {
        err(error + u" (see `vantrel --help`)");
        return kExitUsage;
    }
    if (cl.flags.count(u"--plain")) Console::instance().setPlain();
    if (cl.flags.count(u"--quiet")) Console::instance().setQuiet(true);
    if (cl.command.empty() || cl.command == u"help") {
        if (!cl.positional.empty()) {
            if (const CommandInfo* c = findCommand(cl.positional[0])) {
                printBlock(commandHelp(*c));
                return kExitOk;
            }
        }
        printBlock(generalHelp());
        return cl.command.empty() && !cl.flags.count(u"--help") ? kExitUsage : kExitOk;
    }
    const CommandInfo* info = findCommand(cl.command);
    if (!info) {
        err(format(u"unknown command \"%s\" (see `vantrel --help`)", cl.command));
        return kExitUsage;
    }
    if (cl.flags.count(u"--help")) {
        printBlock(commandHelp(*info));
        return kExitOk;
    }
    for (const auto& f : cl.flags) {
        if (!isGlobalFlag(f) && !info->options.count(f)) {
            err(format(u"%s does not take %s (see `vantrel %s --help`)", info->name, f,
                       info->name));
            return kExitUsage;
        }
    }
    if (info->phones == PhoneOptions::None && !cl.phones.empty()) {
        err(format(u"%s takes no phone options", info->name));
        return kExitUsage;
    }
    if (info->phones != PhoneOptions::Many && cl.phones.size() > 1) {
        err(format(u"%s works on one phone at a time", info->name));
        return kExitUsage;
    }
    for (const CommandOption& o : commandOptions()) {
        const std::optional<std::u16string>& value = cl.*o.value;
        if (!value) continue;
        if (!info->options.count(o.name)) {
            err(o.notTaken);
            return kExitUsage;
        }
        if (value->empty() && o.empty) {
            err(o.empty);
            return kExitUsage;
        }
    }
    return info->run(cl);
}

}  // namespace vt::host
