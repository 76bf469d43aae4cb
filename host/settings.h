// The host's configuration and memory, all in the registry: the three settings the module reads
// ("Root", "Logging Levels", "Current Language"), the folders the host uses by default, and the
// host's record of every phone it has synchronised.
//
// VANTREL_HOME sandboxes everything: the registry file and the application data live under it
// (platform/registry.h, platform/special_folders.h), and so do the host's default phone stores.
//
// Thread-safe (the registry layer is); the functions keep no state of their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace vt::host {

// One registry value the module reads, as `vantrel config` shows and sets it.
struct Setting {
    const char16_t* name;   // the value's name, also the name on the command line
    const char16_t* alias;  // a short spelling for the command line
    plat::RegRoot root;
    const char16_t* key;
    const char16_t* help;
};

// "Root", "Logging Levels", "Current Language", in that order.
const std::vector<Setting>& settings();
// By name or short alias, without regard to ASCII case; null when unknown.
const Setting* findSetting(std::u16string_view name);
// Each answers a registry error code (kErrorFileNotFound when the value is not set).
int32_t readSetting(const Setting& s, std::u16string* value);
int32_t writeSetting(const Setting& s, const std::u16string& value);
int32_t removeSetting(const Setting& s);

// The registry's "Root": the folder that holds one folder per phone alias. Empty when unset.
std::u16string rootFolder();

// Where the host keeps its own files: $VANTREL_HOME when set, else $XDG_DATA_HOME/vantrel
// (~/.local/share/vantrel; %APPDATA%\vantrel on Windows). Not created here.
std::u16string hostHome();
// The default store of a virtual phone: <hostHome>/phones-device/<alias>.
std::u16string defaultPhoneStore(const std::u16string& alias);

// The IMEI as the module keys it: the text after the last ':'.
std::u16string imeiKey(const std::u16string& imei);

// What the host remembers about a phone, under
// HKCU\Software\Orvane\MorVex\Vantrel Host\Phones\<IMEI key>.
struct PhoneRecord {
    std::u16string imei;  // the key
    std::u16string alias;
    std::u16string store;       // the virtual phone's folder
    std::u16string lastSync;    // local time text of the last session's end; empty before
    std::u16string lastResult;  // "finished", "failed (0x...)", ...
    int64_t notes = -1;  // the notes in the PC folder after the last finished session; -1 unknown
};

// Whether the record is a SyncML device's (`vantrel device add`): its store is the server's
// folder for the device, holding the device's "secret", not a virtual phone's notes.
bool isSyncMLDevice(const PhoneRecord& record);
// False when the phone is unknown (or the registry can't be read).
bool loadPhoneRecord(const std::u16string& imei, PhoneRecord* out);
std::vector<PhoneRecord> loadPhoneRecords();
int32_t savePhoneRecord(const PhoneRecord& record);
int32_t removePhoneRecord(const std::u16string& imei);

// Whether phone imei may have alias and store, given records: a known phone keeps its own, and
// no two phones share an alias or a store (the module would take one phone's folder for the
// other's). False with a message naming the conflict.
bool checkPhoneClaim(const std::vector<PhoneRecord>& records, const std::u16string& imei,
                     const std::u16string& alias, const std::u16string& store,
                     std::u16string* error);
// Records phone imei with alias and store, checking them against the records as they are now,
// under the host's records lock (HostLock::takeRecords), so that two processes never give one
// alias or store to two phones. False with a message (the claim refused, the lock not had, or a
// registry error).
bool claimPhone(const std::u16string& imei, const std::u16string& alias,
                const std::u16string& store, std::u16string* error);
// Records a session's end in a known phone's record: time, outcome and, when notes >= 0, the
// PC notes after it. Does nothing for a phone without a record.
int32_t recordSession(const std::u16string& imei, const std::u16string& lastSync,
                      const std::u16string& lastResult, int64_t notes);

// Proves that the registry accepts changes by writing the host's "Last Run" value. Answers the
// registry error code (kErrorRegistryCorrupt for a damaged file).
int32_t checkRegistryWritable();

// A message for a registry error code, naming the registry's location.
std::u16string registryErrorText(int32_t err);

}  // namespace vt::host
