#include "host/settings.h"

#include "host/host_lock.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/time.h"

namespace vt::host {

namespace {

constexpr char16_t kHostKey[] = u"Software\\Orvane\\MorVex\\Vantrel Host";
constexpr char16_t kPhonesKey[] = u"Software\\Orvane\\MorVex\\Vantrel Host\\Phones";

plat::RegKey hive(plat::RegRoot root) {
    return plat::RegKey::root(root);
}

std::u16string stringOr(const plat::RegKey& key, const char16_t* name) {
    std::u16string v;
    if (key.queryString(name, &v) != plat::kErrorSuccess) return {};
    return v;
}

}  // namespace

const std::vector<Setting>& settings() {
    static const std::vector<Setting> kSettings = {
        {u"Root", u"root", plat::RegRoot::CurrentUser, u"Software\\Orvane\\Morvex",
         u"the PC folder that holds one folder per phone alias; a phone's notes are in "
         u"<Root>/<alias>/<notes folder name of the language>"},
        {u"Logging Levels", u"logging", plat::RegRoot::LocalMachine, u"Software\\Orvane\\MorVex",
         u"switches the module's log on (Vantrel.lgt in the temporary folder); per-module "
         u"levels, e.g. \"LOG_TRACING\" or an empty text for the default"},
        {u"Current Language", u"language", plat::RegRoot::LocalMachine,
         u"Software\\Orvane\\Quorril",
         u"the language of the names the module shows, e.g. \"en\" or \"de\" (the notes "
         u"folder is \"Notes\" in English)"},
    };
    return kSettings;
}

const Setting* findSetting(std::u16string_view name) {
    for (const Setting& s : settings())
        if (equalsIgnoreAsciiCase(name, s.name) || equalsIgnoreAsciiCase(name, s.alias)) return &s;
    return nullptr;
}

int32_t readSetting(const Setting& s, std::u16string* value) {
    plat::RegKey key;
    int32_t err = hive(s.root).open(s.key, &key);
    if (err != plat::kErrorSuccess) return err;
    return key.queryString(s.name, value);
}

int32_t writeSetting(const Setting& s, const std::u16string& value) {
    plat::RegKey key;
    int32_t err = hive(s.root).create(s.key, &key);
    if (err != plat::kErrorSuccess) return err;
    return key.setString(s.name, value);
}

int32_t removeSetting(const Setting& s) {
    plat::RegKey key;
    int32_t err = hive(s.root).open(s.key, &key, true);
    if (err != plat::kErrorSuccess) return err;
    return key.deleteValue(s.name);
}

std::u16string rootFolder() {
    std::u16string v;
    if (readSetting(settings()[0], &v) != plat::kErrorSuccess) return {};
    return v;
}

std::u16string hostHome() {
    if (auto home = plat::getEnv("VANTREL_HOME"); home && !home->empty()) return *home;
    // The user's application data: $XDG_DATA_HOME or ~/.local/share on Linux, %APPDATA% on
    // Windows (where HOME is usually not set).
    std::u16string data;
    if (plat::appDataFolder(false, &data) == 0 && plat::isAbsolutePath(data))
        return plat::joinPath(data, u"vantrel");
    std::u16string home = plat::getEnv("HOME").value_or(u"");
    return plat::joinPath(plat::joinPath(plat::joinPath(home, u".local"), u"share"), u"vantrel");
}

std::u16string defaultPhoneStore(const std::u16string& alias) {
    return plat::joinPath(plat::joinPath(hostHome(), u"phones-device"), alias);
}

std::u16string imeiKey(const std::u16string& imei) {
    size_t p = imei.rfind(u':');
    return p == std::u16string::npos ? imei : imei.substr(p + 1);
}

bool isSyncMLDevice(const PhoneRecord& record) {
    plat::FileStatus st;
    return !record.store.empty() &&
           plat::getFileStatus(plat::joinPath(record.store, u"secret"), &st) && !st.isDirectory;
}

bool loadPhoneRecord(const std::u16string& imei, PhoneRecord* out) {
    plat::RegKey key;
    const std::u16string k = imeiKey(imei);
    if (k.empty()) return false;
    if (hive(plat::RegRoot::CurrentUser).open(std::u16string(kPhonesKey) + u"\\" + k, &key) !=
        plat::kErrorSuccess)
        return false;
    out->imei = k;
    out->alias = stringOr(key, u"Alias");
    out->store = stringOr(key, u"Phone Store");
    out->lastSync = stringOr(key, u"Last Sync");
    out->lastResult = stringOr(key, u"Last Result");
    uint32_t notes = 0;
    out->notes = key.queryDword(u"Notes", &notes) == plat::kErrorSuccess ? int64_t{notes} : -1;
    return true;
}

std::vector<PhoneRecord> loadPhoneRecords() {
    std::vector<PhoneRecord> records;
    plat::RegKey phones;
    if (hive(plat::RegRoot::CurrentUser).open(kPhonesKey, &phones) != plat::kErrorSuccess)
        return records;
    std::u16string name;
    for (uint32_t i = 0; phones.enumSubKey(i, &name) == plat::kErrorSuccess; ++i) {
        PhoneRecord r;
        if (loadPhoneRecord(name, &r)) records.push_back(std::move(r));
    }
    return records;
}

int32_t savePhoneRecord(const PhoneRecord& record) {
    plat::RegKey key;
    int32_t err = hive(plat::RegRoot::CurrentUser)
                      .create(std::u16string(kPhonesKey) + u"\\" + imeiKey(record.imei), &key);
    if (err != plat::kErrorSuccess) return err;
    struct {
        const char16_t* name;
        const std::u16string& value;
    } values[] = {{u"Alias", record.alias},
                  {u"Phone Store", record.store},
                  {u"Last Sync", record.lastSync},
                  {u"Last Result", record.lastResult}};
    for (const auto& v : values) {
        std::u16string old;
        if (key.queryString(v.name, &old) == plat::kErrorSuccess && old == v.value) continue;
        if ((err = key.setString(v.name, v.value)) != plat::kErrorSuccess) return err;
    }
    if (record.notes >= 0) return key.setDword(u"Notes", static_cast<uint32_t>(record.notes));
    return plat::kErrorSuccess;
}

int32_t removePhoneRecord(const std::u16string& imei) {
    plat::RegKey phones;
    int32_t err = hive(plat::RegRoot::CurrentUser).open(kPhonesKey, &phones, true);
    if (err != plat::kErrorSuccess) return err;
    return phones.deleteTree(imeiKey(imei));
}

bool checkPhoneClaim(const std::vector<PhoneRecord>& records, const std::u16string& imei,
                     const std::u16string& alias, const std::u16string& store,
                     std::u16string* error) {
    const std::u16string key = imeiKey(imei);
    for (const PhoneRecord& r : records) {
        if (r.imei == key) {
            if (!r.alias.empty() && r.alias != alias) {
                *error = format(
                    u"phone IMEI %s is known as '%s'; its notes are in that alias's folder, so "
                    u"another alias is refused (use --alias %s)",
                    imei, r.alias, r.alias);
                return false;
            }
            if (!r.store.empty() && r.store != store) {
                *error = format(
                    u"phone IMEI %s is known with the store %s; another store is "
                    u"refused",
                    imei, r.store);
                return false;
            }
        } else if (r.alias == alias) {
            *error = format(u"the alias '%s' belongs to phone IMEI %s; each phone needs its own",
                            alias, r.imei);
            return false;
        } else if (r.store == store) {
            *error = format(u"the store %s belongs to phone IMEI %s; each phone needs its own",
                            store, r.imei);
            return false;
        }
    }
    return true;
}

bool claimPhone(const std::u16string& imei, const std::u16string& alias,
                const std::u16string& store, std::u16string* error) {
    // Check and record under one lock: another process's claim between the two could give
    // the alias or the store to a second phone.
    HostLock::Taken records = HostLock::takeRecords();
    if (!records.lock) {
        *error = records.busy ? u"another vantrel process has been changing the phone records "
                                u"for 30 s; nothing was changed, try again"
                              : records.error;
        return false;
    }
    if (!checkPhoneClaim(loadPhoneRecords(), imei, alias, store, error)) return false;
    PhoneRecord record;
    if (loadPhoneRecord(imei, &record) && record.alias == alias && record.store == store)
        return true;
    record.imei = imeiKey(imei);
    record.alias = alias;
    record.store = store;
    if (int32_t e = savePhoneRecord(record); e != plat::kErrorSuccess) {
        *error = registryErrorText(e);
        return false;
    }
    return true;
}

int32_t recordSession(const std::u16string& imei, const std::u16string& lastSync,
                      const std::u16string& lastResult, int64_t notes) {
    // Only the session's values: the alias and store stay as claimed, and a record that is
    // gone is not made again.
    plat::RegKey key;
    int32_t err = hive(plat::RegRoot::CurrentUser)
                      .open(std::u16string(kPhonesKey) + u"\\" + imeiKey(imei), &key, true);
    if (err != plat::kErrorSuccess) return err;
    if ((err = key.setString(u"Last Sync", lastSync)) != plat::kErrorSuccess) return err;
    if ((err = key.setString(u"Last Result", lastResult)) != plat::kErrorSuccess) return err;
    if (notes >= 0) return key.setDword(u"Notes", static_cast<uint32_t>(notes));
    return plat::kErrorSuccess;
}

int32_t checkRegistryWritable() {
    plat::RegKey key;
    int32_t err = hive(plat::RegRoot::CurrentUser).create(kHostKey, &key);
    if (err != plat::kErrorSuccess) return err;
    return key.setString(u"Last Run", plat::userLocaleDateTime(plat::currentTime()));
}

std::u16string registryErrorText(int32_t err) {
    const std::u16string where = plat::registryLocation();
    switch (err) {
        case plat::kErrorRegistryCorrupt:
            return format(
                u"the registry file %s is damaged (the lines are named above); repair "
                u"or remove it, nothing was changed",
                where);
        case plat::kErrorAccessDenied:
            return format(u"the registry file %s can't be read or written (access denied)", where);
        case plat::kErrorRegistryIoFailed:
            return format(
                u"the registry file %s could not be written (disk full or no "
                u"permission); nothing was changed",
                where);
        default:
            return format(u"registry error %d (%s)", err, where);
    }
}

}  // namespace vt::host
