// `vantrel config`: shows and sets the settings the module reads; a language change renames
// the known phones' notes folders with it.
#include <memory>
#include <vector>

#include "host/command_support.h"
#include "host/command_table.h"
#include "host/commands.h"
#include "host/host_lock.h"
#include "host/phone_link.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace vt::host {

namespace {

// A notes folder to be renamed for a language change.
struct FolderMove {
    std::u16string alias, from, to;
    bool emptyTarget = false;  // an empty folder of the new name is removed first
};

// True when folder can be listed and holds nothing.
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
                failure =
                    format(u"can't remove the empty folder %s: %s", m.to, plat::osErrorText(e));
                break;
            }
        }
        if (int e = plat::renameFile(m.from, m.to); e != 0) {
            failure = format(u"can't rename %s to %s: %s", m.from, m.to, plat::osErrorText(e));
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
                           plat::osErrorText(e)));
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

}  // namespace

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
                err(format(u"can't create the folder %s: %s", value, plat::osErrorText(e)));
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

}  // namespace vt::host
