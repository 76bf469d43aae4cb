// The system registry with the Win32 semantics the module needs: keys opened and created by
// path under a hive, REG_SZ and REG_DWORD values (and raw binary ones), enumeration of
// subkeys, deletion of values, keys and trees. Key and value names compare without regard to
// ASCII case and keep the case they were created with. Results are Win32 error codes.
//
// On Windows this is the real registry. On Linux the registry is one text file in the ".reg"
// format ("Windows Registry Editor Version 5.00"): $VANTREL_HOME/registry.reg when VANTREL_HOME
// is set, else $XDG_CONFIG_HOME/vantrel/registry.reg (~/.config/vantrel/registry.reg). It is
// read again whenever it changed on disk, and every change replaces it atomically under a lock
// file, so several processes share it. A damaged file is reported once on standard error with
// its name and line; whatever could be read still serves, but changes are refused
// (kErrorRegistryCorrupt) so that nothing in it is lost. See docs/registry.md.
//
// Thread-safe. A RegKey is a move-only handle; it names a path and does not keep the key alive:
// once its key is deleted its operations answer kErrorKeyDeleted. A handle opened without
// write access refuses setValue, deleteValue, deleteTree and the creation of keys
// (kErrorAccessDenied), as on Windows.
#pragma once

#include <cstdint>
#include <string>

namespace vt::plat {

enum class RegRoot { ClassesRoot, CurrentUser, LocalMachine };

// Win32 error codes used by the registry functions.
inline constexpr int32_t kErrorSuccess = 0;
inline constexpr int32_t kErrorFileNotFound = 2;
inline constexpr int32_t kErrorAccessDenied = 5;
inline constexpr int32_t kErrorInvalidHandle = 6;
inline constexpr int32_t kErrorInvalidParameter = 87;
inline constexpr int32_t kErrorMoreData = 234;
inline constexpr int32_t kErrorNoMoreItems = 259;
inline constexpr int32_t kErrorRegistryCorrupt = 1015;
inline constexpr int32_t kErrorRegistryIoFailed = 1016;
// The key behind a handle was deleted after the handle was opened.
inline constexpr int32_t kErrorKeyDeleted = 1018;
// queryString or queryDword on a value of another type.
inline constexpr int32_t kErrorUnsupportedType = 1630;

// Value types, with the Win32 values.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;

class RegKey {
  public:
    RegKey() = default;
    RegKey(RegKey&& o) noexcept;
    RegKey& operator=(RegKey&& o) noexcept;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey();

    // A handle for the hive itself.
    static RegKey root(RegRoot root);

    bool valid() const { return impl_ != nullptr; }
    void close();

    // Opens an existing key below this one (RegOpenKeyEx). An empty subkey opens this key again.
    int32_t open(const std::u16string& subKey, RegKey* out, bool writable = false) const;
    // Opens or creates a key and its missing parents (RegCreateKeyEx); *created tells which.
    int32_t create(const std::u16string& subKey, RegKey* out, bool* created = nullptr) const;

    // RegQueryValueEx: with data null only the type and size are reported; with a buffer too
    // small the size needed is reported and kErrorMoreData returned. REG_SZ data is UTF-16LE
    // with its terminating zero. An empty name is the key's default value.
    int32_t queryValue(const std::u16string& name, uint32_t* type, void* data,
                       uint32_t* size) const;
    int32_t setValue(const std::u16string& name, uint32_t type, const void* data, uint32_t size);

    // Convenience forms. queryString refuses values that are not REG_SZ or REG_EXPAND_SZ.
    int32_t queryString(const std::u16string& name, std::u16string* value) const;
    int32_t queryDword(const std::u16string& name, uint32_t* value) const;
    int32_t setString(const std::u16string& name, const std::u16string& value);
    int32_t setDword(const std::u16string& name, uint32_t value);

    int32_t deleteValue(const std::u16string& name);
    // Deletes a key that has no subkeys (RegDeleteKey); kErrorAccessDenied otherwise. An empty
    // subKey is kErrorInvalidParameter.
    int32_t deleteKey(const std::u16string& subKey);
    // Deletes a key with everything below it (RegDeleteTree). An empty subKey removes this
    // key's values and subkeys but keeps the key, as RegDeleteTree with no subkey does.
    int32_t deleteTree(const std::u16string& subKey);
    // The name of subkey number index (RegEnumKeyEx), or kErrorNoMoreItems. On Linux the order
    // is the order of the keys in the file, new keys last.
    int32_t enumSubKey(uint32_t index, std::u16string* name) const;
    // The name of value number index, or kErrorNoMoreItems.
    int32_t enumValue(uint32_t index, std::u16string* name) const;

  private:
    struct Impl;
    explicit RegKey(Impl* impl) : impl_(impl) {}
    Impl* impl_ = nullptr;
};

// Where the registry lives on this platform, for messages (the file on Linux).
std::u16string registryLocation();

// True where the registry is the text file described above (Linux), false where it is the
// system's (Windows). Tests of the file format skip where it is false.
bool registryIsTextFile();

// Drops what the registry layer caches for this process (e.g. on module unload).
void releaseRegistryCache();

}  // namespace vt::plat
