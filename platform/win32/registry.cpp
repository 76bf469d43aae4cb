// The registry on Windows: the system registry through advapi32. A RegKey owns one HKEY (the
// predefined hive handles are never closed); the system does the locking, the case folding
// and the bookkeeping of deleted keys, so the functions here only check their arguments as the
// Linux registry does and pass the results through.
#include "platform/registry.h"

#include <string_view>
#include <vector>

#include "platform/win32/win32_util.h"

namespace vt::plat {

namespace {

using win32::wide;

// The longest key name and value name the registry allows, with the terminating zero.
constexpr DWORD kMaxKeyName = 256;
constexpr DWORD kMaxValueName = 16384;

HKEY hiveHandle(RegRoot root) {
    switch (root) {
        case RegRoot::ClassesRoot:
            return HKEY_CLASSES_ROOT;
        case RegRoot::CurrentUser:
            return HKEY_CURRENT_USER;
        case RegRoot::LocalMachine:
            return HKEY_LOCAL_MACHINE;
    }
    return HKEY_CURRENT_USER;
}

// The predefined handles are sign-extended 32-bit values with the top bit set; they are not
// closed.
bool isPredefined(HKEY key) {
    const auto v = reinterpret_cast<uintptr_t>(key);
    return v >= reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT);
}

// A relative key path as the Linux registry accepts it: names separated by single
// backslashes, one trailing backslash allowed, no empty names and no NULs.
bool isValidKeyPath(std::u16string_view path) {
    if (path.find(u'\0') != path.npos) return false;
    if (path.empty()) return true;
    if (path.back() == u'\\') path.remove_suffix(1);
    if (path.empty() || path.front() == u'\\') return false;
    return path.find(u"\\\\") == path.npos;
}

int32_t result(LSTATUS status) {
    return static_cast<int32_t>(status);
}

}  // namespace

struct RegKey::Impl {
    HKEY key = nullptr;
    bool writable = true;

    ~Impl() {
        if (key && !isPredefined(key)) RegCloseKey(key);
    }
};

RegKey::RegKey(RegKey&& o) noexcept : impl_(o.impl_) {
    o.impl_ = nullptr;
}

RegKey& RegKey::operator=(RegKey&& o) noexcept {
    if (this != &o) {
        delete impl_;
        impl_ = o.impl_;
        o.impl_ = nullptr;
    }
    return *this;
}

RegKey::~RegKey() {
    delete impl_;
}

RegKey RegKey::root(RegRoot root) {
    return RegKey(new Impl{hiveHandle(root), true});
}

void RegKey::close() {
    delete impl_;
    impl_ = nullptr;
}

int32_t RegKey::open(const std::u16string& subKey, RegKey* out, bool writable) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!out || !isValidKeyPath(subKey)) return kErrorInvalidParameter;
    HKEY key = nullptr;
    const REGSAM access = writable ? KEY_READ | KEY_WRITE : KEY_READ;
    LSTATUS s = RegOpenKeyExW(impl_->key, wide(subKey), 0, access, &key);
    if (s != ERROR_SUCCESS) return result(s);
    *out = RegKey(new Impl{key, writable});
    return kErrorSuccess;
}

int32_t RegKey::create(const std::u16string& subKey, RegKey* out, bool* created) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!out || !isValidKeyPath(subKey)) return kErrorInvalidParameter;
    HKEY key = nullptr;
    if (!impl_->writable) {
        // A read-only handle opens keys that exist and creates none, whatever the parent
        // handle's rights would let the system do.
        LSTATUS s = RegOpenKeyExW(impl_->key, wide(subKey), 0, KEY_READ | KEY_WRITE, &key);
        if (s == ERROR_FILE_NOT_FOUND) return kErrorAccessDenied;
        if (s != ERROR_SUCCESS) return result(s);
        if (created) *created = false;
        *out = RegKey(new Impl{key, true});
        return kErrorSuccess;
    }
    DWORD disposition = 0;
    LSTATUS s = RegCreateKeyExW(impl_->key, wide(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE, nullptr, &key, &disposition);
    if (s != ERROR_SUCCESS) return result(s);
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
    *out = RegKey(new Impl{key, true});
    return kErrorSuccess;
}

int32_t RegKey::queryValue(const std::u16string& name, uint32_t* type, void* data,
                           uint32_t* size) const {
    if (!impl_) return kErrorInvalidHandle;
    if (data && !size) return kErrorInvalidParameter;
    DWORD t = REG_NONE;
    DWORD n = size ? *size : 0;
    LSTATUS s = RegQueryValueExW(impl_->key, wide(name), nullptr, &t, static_cast<BYTE*>(data),
                                 size ? &n : nullptr);
    if (s == ERROR_SUCCESS || s == ERROR_MORE_DATA) {
        if (type) *type = t;
        if (size) *size = n;
    }
    return result(s);
}

int32_t RegKey::setValue(const std::u16string& name, uint32_t type, const void* data,
                         uint32_t size) {
    if (!impl_) return kErrorInvalidHandle;
    if ((!data && size) || name.find(u'\0') != name.npos) return kErrorInvalidParameter;
    if (!impl_->writable) return kErrorAccessDenied;
    return result(
        RegSetValueExW(impl_->key, wide(name), 0, type, static_cast<const BYTE*>(data), size));
}

int32_t RegKey::queryString(const std::u16string& name, std::u16string* value) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!value) return kErrorInvalidParameter;
    std::vector<BYTE> bytes(256);
    while (true) {
        DWORD type = REG_NONE;
        auto n = static_cast<DWORD>(bytes.size());
        LSTATUS s = RegQueryValueExW(impl_->key, wide(name), nullptr, &type, bytes.data(), &n);
        if (s == ERROR_MORE_DATA) {  // the value may also have grown since the last try
            bytes.resize(std::max<size_t>(n, bytes.size() * 2));
            continue;
        }
        if (s != ERROR_SUCCESS) return result(s);
        if (type != REG_SZ && type != REG_EXPAND_SZ) return kErrorUnsupportedType;
        value->assign(reinterpret_cast<const char16_t*>(bytes.data()), n / 2);
        size_t zero = value->find(u'\0');
        if (zero != value->npos) value->resize(zero);
        return kErrorSuccess;
    }
}

int32_t RegKey::queryDword(const std::u16string& name, uint32_t* value) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!value) return kErrorInvalidParameter;
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD n = sizeof data;
    LSTATUS s = RegQueryValueExW(impl_->key, wide(name), nullptr, &type,
                                 reinterpret_cast<BYTE*>(&data), &n);
    if (s == ERROR_MORE_DATA) return kErrorUnsupportedType;  // longer than a DWORD
    if (s != ERROR_SUCCESS) return result(s);
    if (type != REG_DWORD || n != sizeof data) return kErrorUnsupportedType;
    *value = data;
    return kErrorSuccess;
}

int32_t RegKey::setString(const std::u16string& name, const std::u16string& value) {
    const auto bytes = static_cast<uint32_t>((value.size() + 1) * sizeof(char16_t));
    return setValue(name, kRegSz, value.c_str(), bytes);
}

int32_t RegKey::setDword(const std::u16string& name, uint32_t value) {
    return setValue(name, kRegDword, &value, sizeof value);
}

int32_t RegKey::deleteValue(const std::u16string& name) {
    if (!impl_) return kErrorInvalidHandle;
    if (!impl_->writable) return kErrorAccessDenied;
    return result(RegDeleteValueW(impl_->key, wide(name)));
}

int32_t RegKey::deleteKey(const std::u16string& subKey) {
    if (!impl_) return kErrorInvalidHandle;
    // An empty name would make RegDeleteKey delete this key itself.
    if (subKey.empty() || subKey == u"\\" || !isValidKeyPath(subKey)) return kErrorInvalidParameter;
    return result(RegDeleteKeyW(impl_->key, wide(subKey)));
}

int32_t RegKey::deleteTree(const std::u16string& subKey) {
    if (!impl_) return kErrorInvalidHandle;
    if (!isValidKeyPath(subKey)) return kErrorInvalidParameter;
    if (!impl_->writable) return kErrorAccessDenied;
    return result(RegDeleteTreeW(impl_->key, subKey.empty() ? nullptr : wide(subKey)));
}

int32_t RegKey::enumSubKey(uint32_t index, std::u16string* name) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!name) return kErrorInvalidParameter;
    wchar_t buf[kMaxKeyName];
    DWORD n = kMaxKeyName;
    LSTATUS s = RegEnumKeyExW(impl_->key, index, buf, &n, nullptr, nullptr, nullptr, nullptr);
    if (s != ERROR_SUCCESS) return result(s);
    *name = win32::fromWide(buf, n);
    return kErrorSuccess;
}

int32_t RegKey::enumValue(uint32_t index, std::u16string* name) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!name) return kErrorInvalidParameter;
    std::vector<wchar_t> buf(kMaxValueName);
    DWORD n = kMaxValueName;
    LSTATUS s =
        RegEnumValueW(impl_->key, index, buf.data(), &n, nullptr, nullptr, nullptr, nullptr);
    if (s != ERROR_SUCCESS) return result(s);
    *name = win32::fromWide(buf.data(), n);
    return kErrorSuccess;
}

std::u16string registryLocation() {
    return u"the Windows registry";
}

bool registryIsTextFile() {
    return false;
}

void releaseRegistryCache() {
    // Nothing is cached: every operation goes to the system registry.
}

}  // namespace vt::plat
