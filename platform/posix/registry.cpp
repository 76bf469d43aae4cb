// The registry on Linux: one ".reg" text file per user (see docs/registry.md). Here are the
// process's copy of the registry and the RegKey handles that work on it. The text format is in
// common/registry_text.h; reading, locking and replacing the file in posix/registry_file.h.
//
// The process keeps one parsed copy of the file under a mutex and compares the file's signature
// with the copy's before every operation, reading the file again when it changed. A change takes
// the lock file, reads the file again when its bytes differ from the copy, applies the change to
// the tree and replaces the file with the tree's text.
#include "platform/registry.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/registry_text.h"
#include "platform/common/registry_tree.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/posix/registry_file.h"
#include "platform/text.h"

namespace vt::plat {

namespace {

using posix::FileSignature;
using reg::dwordBytes;
using reg::dwordOf;
using reg::fromUtf16leBytes;
using reg::hiveIndex;
using reg::isStorableName;
using reg::Key;
using reg::splitKeyPath;
using reg::Tree;
using reg::utf16leBytes;
using reg::Value;

// ---------------------------------------------------------------------------------------------
// Where the file is

// The registry's answer to a file system error.
int32_t errorFromErrno(int e) {
    switch (e) {
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        default:
            return kErrorRegistryIoFailed;
    }
}

std::string registryPath() {
    auto env = [](const char* name) -> std::string {
        const char* v = getenv(name);
        return v ? v : "";
    };
    std::string home = env("VANTREL_HOME");
    if (!home.empty()) return home + "/registry.reg";
    std::string config = env("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') {
        std::string userHome = env("HOME");
        if (userHome.empty()) {
            if (const passwd* pw = getpwuid(getuid())) userHome = pw->pw_dir;
        }
        config = userHome + "/.config";
    }
    return config + "/vantrel/registry.reg";
}

// ---------------------------------------------------------------------------------------------
// The process-wide copy

struct Store {
    bool loaded = false;
    std::string path;  // the file the copy was read from
    bool exists = false;
    FileSignature sig;
    std::string bytes;
    Tree tree;
    int32_t refuseWrites = kErrorSuccess;  // set while the file can't be trusted
    std::map<std::string, FileSignature> reported;
};

// The copy lives from the first registry operation until releaseRegistryCache(); the mutex
// guards both the pointer and the copy. Both are constant-initialised and have no destructor to
// run, so registry operations stay usable from other static destructors until the process ends.
std::mutex g_storeMutex;
Store* g_store = nullptr;

// The copy, made when there is none. Only with g_storeMutex held.
Store& lockedStore() {
    if (!g_store) g_store = new Store;
    return *g_store;
}

void writeStderr(const std::string& text) {
    fputs(text.c_str(), stderr);
    fflush(stderr);
}

void reportOnce(Store& s, const FileSignature& version, const std::string& text) {
    auto it = s.reported.find(s.path);
    if (it != s.reported.end() && it->second == version) return;
    s.reported[s.path] = version;
    writeStderr(text);
}

void setEmpty(Store& s, const std::string& path) {
    s.loaded = true;
    s.path = path;
    s.exists = false;
    s.sig = {};
    s.bytes.clear();
    s.tree = Tree();
    s.refuseWrites = kErrorSuccess;
}

void setUnreadable(Store& s, const std::string& path, int e) {
    setEmpty(s, path);
    s.exists = true;
    s.loaded = false;  // try again next time
    s.refuseWrites = errorFromErrno(e);
    FileSignature marker;
    marker.mtimeNs = -e;
    reportOnce(s, marker,
               "vantrel: " + path + ": cannot read the registry file: " + strerror(e) +
                   "; changes to the registry are refused\n");
}

// Reads the file into the copy. With force the bytes are always read and compared; otherwise
// only when the file's identity changed.
void refresh(Store& s, const std::string& path, bool force) {
    bool same = s.loaded && s.path == path;
    if (!force) {
        FileSignature now;
        if (int e = posix::registryFileSignature(path, &now); e != 0) {
            if (e == ENOENT || e == ENOTDIR) {
                if (!same || s.exists) setEmpty(s, path);
                return;
            }
            setUnreadable(s, path, e);
            return;
        }
        if (same && s.exists && now == s.sig) return;
    }
    std::string bytes;
    FileSignature sig;
    int e = posix::readRegistryFile(path, &bytes, &sig);
    if (e == ENOENT || e == ENOTDIR) {
        if (!same || s.exists) setEmpty(s, path);
        return;
    }
    if (e != 0) {
        setUnreadable(s, path, e);
        return;
    }
    if (same && s.exists && bytes == s.bytes) {
        s.sig = sig;
        return;
    }
    Tree tree;
    std::vector<reg::Problem> problems;
    reg::parseText(bytes, &tree, &problems);
    s.loaded = true;
    s.path = path;
    s.exists = true;
    s.sig = sig;
    s.bytes = std::move(bytes);
    s.tree = std::move(tree);
    s.refuseWrites = problems.empty() ? kErrorSuccess : kErrorRegistryCorrupt;
    if (!problems.empty()) {
        std::string text;
        constexpr size_t kShown = 20;
        for (size_t i = 0; i < problems.size() && i < kShown; ++i)
            text += "vantrel: " + path + ":" + std::to_string(problems[i].line) + ": " +
                    problems[i].what + "\n";
        if (problems.size() > kShown)
            text += "vantrel: " + path + ": " + std::to_string(problems.size() - kShown) +
                    " more problems not shown\n";
        text += "vantrel: " + path +
                ": the registry file is damaged; its readable values are used, but changes "
                "are refused until it is repaired\n";
        reportOnce(s, sig, text);
    }
}

// One registry operation: holds the process lock, and for a change also the file lock.
class Transaction {
  public:
    Transaction() : lock_(g_storeMutex), s_(lockedStore()), path_(registryPath()) {
        refresh(s_, path_, false);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    Tree& tree() { return s_.tree; }

    // Takes the file lock and brings the copy up to date; the tree may change.
    int32_t beginWrite() {
        int e = createFolders(parentFolder(fromUtf8(path_)), FolderAccess::OwnerOnly);
        if (e != 0) return errorFromErrno(e);
        e = fileLock_.lock(path_ + ".lock");
        if (e != 0) return errorFromErrno(e);
        refresh(s_, path_, true);
        return s_.refuseWrites;
    }

    // Writes the changed tree; on failure the copy is dropped so the next operation reads the
    // file again.
    int32_t commit() {
        std::string bytes = reg::toText(s_.tree);
        FileSignature sig;
        int e = posix::replaceRegistryFile(path_, bytes, &sig);
        if (e != 0) {
            s_.loaded = false;
            s_.bytes.clear();
            return errorFromErrno(e);
        }
        s_.exists = true;
        s_.sig = sig;
        s_.bytes = std::move(bytes);
        return kErrorSuccess;
    }

    // Runs f(tree, write, &needWrite) first without writing; when it says a change is needed,
    // takes the file lock and runs it again with write set, then commits. f must check before
    // it changes anything, so that a failure leaves the tree as it was.
    template <class F>
    int32_t change(F&& f) {
        bool need = false;
        int32_t r = f(tree(), false, &need);
        if (r != kErrorSuccess || !need) return r;
        r = beginWrite();
        if (r != kErrorSuccess) return r;
        need = false;
        r = f(tree(), true, &need);
        if (r != kErrorSuccess || !need) return r;
        return commit();
    }

  private:
    std::lock_guard<std::mutex> lock_;
    Store& s_;
    std::string path_;
    posix::RegistryFileLock fileLock_;  // released before the process lock
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Handles

struct RegKey::Impl {
    int hive = 0;
    std::vector<std::u16string> path;
    bool writable = true;

    // The key now, or null when it is gone.
    Key* resolve(Tree& tree) const {
        Key* k = &tree.hives[hive];
        for (const auto& n : path)
            if (!(k = k->findSubKey(n))) return nullptr;
        return k;
    }
};

namespace {

Key* walk(Key* k, const std::vector<std::u16string>& parts, size_t count) {
    for (size_t i = 0; i < count && k; ++i) k = k->findSubKey(parts[i]);
    return k;
}

}  // namespace

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
    return RegKey(new Impl{hiveIndex(root), {}, true});
}

void RegKey::close() {
    delete impl_;
    impl_ = nullptr;
}

int32_t RegKey::open(const std::u16string& subKey, RegKey* out, bool writable) const {
    if (!impl_) return kErrorInvalidHandle;
    std::vector<std::u16string> parts;
    if (!out || !splitKeyPath(subKey, &parts)) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    auto impl = std::make_unique<Impl>(*impl_);
    impl->writable = writable;
    for (const auto& n : parts) {
        if (!(k = k->findSubKey(n))) return kErrorFileNotFound;
        impl->path.push_back(k->name);
    }
    *out = RegKey(impl.release());
    return kErrorSuccess;
}

int32_t RegKey::create(const std::u16string& subKey, RegKey* out, bool* created) const {
    if (!impl_) return kErrorInvalidHandle;
    std::vector<std::u16string> parts;
    if (!out || !splitKeyPath(subKey, &parts)) return kErrorInvalidParameter;
    bool made = false;
    auto impl = std::make_unique<Impl>(*impl_);
    impl->writable = true;
    Transaction t;
    int32_t r = t.change([&](Tree& tree, bool write, bool* need) {
        Key* k = impl_->resolve(tree);
        if (!k) return kErrorKeyDeleted;
        impl->path = impl_->path;
        for (const auto& n : parts) {
            Key* next = k->findSubKey(n);
            if (!next) {
                if (!impl_->writable) return kErrorAccessDenied;
                if (!write) {
                    *need = true;
                    return kErrorSuccess;
                }
                next = k->subKeyOrAdd(n, &made);
                *need = true;
            }
            k = next;
            impl->path.push_back(k->name);
        }
        return kErrorSuccess;
    });
    if (r != kErrorSuccess) return r;
    if (created) *created = made;
    *out = RegKey(impl.release());
    return kErrorSuccess;
}

int32_t RegKey::queryValue(const std::u16string& name, uint32_t* type, void* data,
                           uint32_t* size) const {
    if (!impl_) return kErrorInvalidHandle;
    if (data && !size) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    const Value* v = k->findValue(name);
    if (!v) return kErrorFileNotFound;
    if (type) *type = v->type;
    auto needed = static_cast<uint32_t>(v->data.size());
    if (!data) {
        if (size) *size = needed;
        return kErrorSuccess;
    }
    if (*size < needed) {
        *size = needed;
        return kErrorMoreData;
    }
    if (needed) memcpy(data, v->data.data(), needed);
    *size = needed;
    return kErrorSuccess;
}

int32_t RegKey::setValue(const std::u16string& name, uint32_t type, const void* data,
                         uint32_t size) {
    if (!impl_) return kErrorInvalidHandle;
    if ((!data && size) || !isStorableName(name)) return kErrorInvalidParameter;
    if (!impl_->writable) return kErrorAccessDenied;
    const auto* p = static_cast<const uint8_t*>(data);
    Transaction t;
    return t.change([&](Tree& tree, bool write, bool* need) {
        Key* k = impl_->resolve(tree);
        if (!k) return kErrorKeyDeleted;
        *need = true;
        if (write) k->setValue(name, type, std::vector<uint8_t>(p, p + size));
        return kErrorSuccess;
    });
}

int32_t RegKey::queryString(const std::u16string& name, std::u16string* value) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!value) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    const Value* v = k->findValue(name);
    if (!v) return kErrorFileNotFound;
    if (v->type != kRegSz && v->type != kRegExpandSz) return kErrorUnsupportedType;
    *value = fromUtf16leBytes(v->data.data(), v->data.size());
    size_t zero = value->find(u'\0');
    if (zero != value->npos) value->resize(zero);
    return kErrorSuccess;
}

int32_t RegKey::queryDword(const std::u16string& name, uint32_t* value) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!value) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    const Value* v = k->findValue(name);
    if (!v) return kErrorFileNotFound;
    if (v->type != kRegDword || !dwordOf(v->data, value)) return kErrorUnsupportedType;
    return kErrorSuccess;
}

int32_t RegKey::setString(const std::u16string& name, const std::u16string& value) {
    std::vector<uint8_t> bytes = utf16leBytes(value, true);
    return setValue(name, kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

int32_t RegKey::setDword(const std::u16string& name, uint32_t value) {
    std::vector<uint8_t> bytes = dwordBytes(value);
    return setValue(name, kRegDword, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

int32_t RegKey::deleteValue(const std::u16string& name) {
    if (!impl_) return kErrorInvalidHandle;
    if (!impl_->writable) return kErrorAccessDenied;
    Transaction t;
    return t.change([&](Tree& tree, bool write, bool* need) {
        Key* k = impl_->resolve(tree);
        if (!k) return kErrorKeyDeleted;
        Value* v = k->findValue(name);
        if (!v) return kErrorFileNotFound;
        *need = true;
        if (write) k->values.erase(k->values.begin() + (v - k->values.data()));
        return kErrorSuccess;
    });
}

int32_t RegKey::deleteKey(const std::u16string& subKey) {
    if (!impl_) return kErrorInvalidHandle;
    std::vector<std::u16string> parts;
    if (!splitKeyPath(subKey, &parts) || parts.empty()) return kErrorInvalidParameter;
    Transaction t;
    return t.change([&](Tree& tree, bool write, bool* need) {
        Key* base = impl_->resolve(tree);
        if (!base) return kErrorKeyDeleted;
        Key* parent = walk(base, parts, parts.size() - 1);
        if (!parent) return kErrorFileNotFound;
        size_t i = parent->subKeyIndex(parts.back());
        if (i == parent->subKeys.size()) return kErrorFileNotFound;
        if (!parent->subKeys[i]->subKeys.empty()) return kErrorAccessDenied;
        *need = true;
        if (write) parent->subKeys.erase(parent->subKeys.begin() + static_cast<ptrdiff_t>(i));
        return kErrorSuccess;
    });
}

int32_t RegKey::deleteTree(const std::u16string& subKey) {
    if (!impl_) return kErrorInvalidHandle;
    std::vector<std::u16string> parts;
    if (!splitKeyPath(subKey, &parts)) return kErrorInvalidParameter;
    if (!impl_->writable) return kErrorAccessDenied;
    Transaction t;
    return t.change([&](Tree& tree, bool write, bool* need) {
        Key* base = impl_->resolve(tree);
        if (!base) return kErrorKeyDeleted;
        if (parts.empty()) {  // empties this key, as RegDeleteTree with no subkey does
            *need = !base->values.empty() || !base->subKeys.empty();
            if (write) {
                base->values.clear();
                base->subKeys.clear();
            }
            return kErrorSuccess;
        }
        Key* parent = walk(base, parts, parts.size() - 1);
        if (!parent) return kErrorFileNotFound;
        size_t i = parent->subKeyIndex(parts.back());
        if (i == parent->subKeys.size()) return kErrorFileNotFound;
        *need = true;
        if (write) parent->subKeys.erase(parent->subKeys.begin() + static_cast<ptrdiff_t>(i));
        return kErrorSuccess;
    });
}

int32_t RegKey::enumSubKey(uint32_t index, std::u16string* name) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!name) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    if (index >= k->subKeys.size()) return kErrorNoMoreItems;
    *name = k->subKeys[index]->name;
    return kErrorSuccess;
}

int32_t RegKey::enumValue(uint32_t index, std::u16string* name) const {
    if (!impl_) return kErrorInvalidHandle;
    if (!name) return kErrorInvalidParameter;
    Transaction t;
    Key* k = impl_->resolve(t.tree());
    if (!k) return kErrorKeyDeleted;
    if (index >= k->values.size()) return kErrorNoMoreItems;
    *name = k->values[index].name;
    return kErrorSuccess;
}

std::u16string registryLocation() {
    return fromUtf8(registryPath());
}

void releaseRegistryCache() {
    std::lock_guard<std::mutex> lock(g_storeMutex);
    delete g_store;
    g_store = nullptr;
}

bool registryIsTextFile() {
    return true;
}

}  // namespace vt::plat
