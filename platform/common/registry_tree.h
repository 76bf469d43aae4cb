// The registry as the Linux backend holds it in memory: per hive a tree of keys, each with its
// values and subkeys in the order they were first seen, and the byte forms of value data
// (REG_SZ as UTF-16LE, REG_DWORD as four bytes, least significant first). Names compare
// without regard to ASCII case and keep their first spelling.
//
// Internal to the platform layer. It is in common/ although only the Linux backend keeps its
// registry this way, because it needs nothing of the OS: it builds, and its tests run, on every
// platform. registry_text.h reads and writes it as text; posix/registry.cpp keeps the copy that
// the handles work on.
//
// Not thread-safe: a Tree belongs to its holder, who guards it (the functions are pure).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace vt::plat::reg {

struct Value {
    std::u16string name;
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;
    bool operator==(const Value&) const = default;
};

struct Key {
    std::u16string name;
    std::vector<Value> values;                  // in file order, new ones appended
    std::vector<std::unique_ptr<Key>> subKeys;  // in file order, new ones appended

    // The subkey or value of that name, or null.
    Key* findSubKey(std::u16string_view n) const;
    Value* findValue(std::u16string_view n);
    // The position of the subkey of that name in subKeys, or subKeys.size().
    size_t subKeyIndex(std::u16string_view n) const;
    // The subkey of that name, appended when missing; *added (when given) is set to true then.
    Key* subKeyOrAdd(std::u16string_view n, bool* added = nullptr);
    // Replaces the data of the value of that name, or appends the value.
    void setValue(std::u16string_view n, uint32_t type, std::vector<uint8_t> data);

    // Equal names (spelled alike), values and subkeys, in the same order, all the way down.
    friend bool operator==(const Key& a, const Key& b);
};

// The hives, in the order the text lists them.
inline constexpr int kHiveCount = 3;
int hiveIndex(RegRoot root);

struct Tree {
    Key hives[kHiveCount];
    bool operator==(const Tree&) const = default;
};

// A name the registry can hold: no zero character or line break, well-formed UTF-16.
bool isStorableName(std::u16string_view name);
// Splits a relative key path ("a\b\c") into its names. One trailing backslash is allowed; an
// empty or unstorable name is not (false). An empty path has no names.
bool splitKeyPath(std::u16string_view path, std::vector<std::u16string>* names);

// REG_DWORD data: the four bytes of v, least significant first.
std::vector<uint8_t> dwordBytes(uint32_t v);
// The number that REG_DWORD data holds; false unless data is four bytes long.
bool dwordOf(const std::vector<uint8_t>& data, uint32_t* v);

// s as UTF-16LE bytes, with a terminating zero character when terminate is set.
std::vector<uint8_t> utf16leBytes(std::u16string_view s, bool terminate);
// The UTF-16 code units of n bytes of UTF-16LE; an odd last byte is dropped.
std::u16string fromUtf16leBytes(const uint8_t* p, size_t n);
// No unpaired surrogate.
bool isWellFormedUtf16(std::u16string_view s);

}  // namespace vt::plat::reg
