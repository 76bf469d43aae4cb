// Test helpers for the record store: reads and builds index files byte by byte, independently
// of the store's own reader and writer.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "storage/storage_area.h"

namespace vt {

inline void PrintTo(const StorageArea& a, std::ostream* os) {
    *os << "{" << a.start << ", " << a.end << "}";
}

}  // namespace vt

namespace vt::test {

struct IndexImage {
    uint32_t magic = 0xCAFFEE13u;
    std::vector<std::pair<std::u16string, StorageArea>> keys;
    std::vector<StorageArea> freeAreas;
};

inline void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

inline uint32_t getU32(const std::string& in, size_t pos) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{static_cast<uint8_t>(in[pos + i])} << (8 * i);
    return v;
}

// The bytes of an index file (keys as given, not sorted).
inline std::string buildIndex(const IndexImage& image) {
    std::string out;
    putU32(out, image.magic);
    putU32(out, static_cast<uint32_t>(image.keys.size()));
    putU32(out, static_cast<uint32_t>(image.freeAreas.size()));
    for (const auto& [key, area] : image.keys) {
        putU32(out, static_cast<uint32_t>(key.size() * 2));
        for (char16_t c : key) {
            out.push_back(static_cast<char>(c & 0xFF));
            out.push_back(static_cast<char>(c >> 8));
        }
        putU32(out, static_cast<uint32_t>(area.start));
        putU32(out, static_cast<uint32_t>(area.end));
    }
    for (const auto& area : image.freeAreas) {
        putU32(out, static_cast<uint32_t>(area.start));
        putU32(out, static_cast<uint32_t>(area.end));
    }
    return out;
}

// Parses index file bytes strictly; nullopt when they are not a whole index file.
inline std::optional<IndexImage> parseIndex(const std::string& bytes) {
    if (bytes.size() < 12) return std::nullopt;
    IndexImage image;
    image.magic = getU32(bytes, 0);
    const uint32_t keys = getU32(bytes, 4);
    const uint32_t frees = getU32(bytes, 8);
    size_t pos = 12;
    for (uint32_t i = 0; i < keys; ++i) {
        if (bytes.size() - pos < 4) return std::nullopt;
        const uint32_t len = getU32(bytes, pos);
        pos += 4;
        if (len % 2 != 0 || bytes.size() - pos < len + 8) return std::nullopt;
        std::u16string key;
        for (uint32_t j = 0; j < len; j += 2) {
            key.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[pos + j]) |
                                                static_cast<uint8_t>(bytes[pos + j + 1]) << 8));
        }
        pos += len;
        image.keys.emplace_back(key, StorageArea{static_cast<int32_t>(getU32(bytes, pos)),
                                                 static_cast<int32_t>(getU32(bytes, pos + 4))});
        pos += 8;
    }
    for (uint32_t i = 0; i < frees; ++i) {
        if (bytes.size() - pos < 8) return std::nullopt;
        image.freeAreas.push_back(StorageArea{static_cast<int32_t>(getU32(bytes, pos)),
                                              static_cast<int32_t>(getU32(bytes, pos + 4))});
        pos += 8;
    }
    if (pos != bytes.size()) return std::nullopt;
    return image;
}

}  // namespace vt::test
