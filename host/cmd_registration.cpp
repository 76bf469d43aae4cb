// `vantrel register` and `vantrel unregister`: the module's registration as the plug-in for
// "Notes", and the language chosen when the module is registered.
#include "host/command_support.h"
#include "host/command_table.h"
#include "host/commands.h"
#include "host/module_host.h"
#include "host/phone_link.h"
#include "host/settings.h"
#include "platform/format.h"
#include "platform/language.h"
#include "platform/path.h"
#include "platform/registry.h"

namespace vt::host {

namespace {

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

}  // namespace

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

}  // namespace vt::host
