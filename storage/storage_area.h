// A byte range of a record store's data file, with an inclusive end.
//
// {-1, -1} means "no area". An area whose end is start - 1 holds no bytes; the record store
// uses {1, 0} for records of length 0, so that index readers that insist on non-negative
// offsets still accept it. Plain value type; thread-safety is that of an int.
#pragma once

#include <cstdint>

namespace vt {

struct StorageArea {
    int32_t start = -1;  // offset of the first byte
    int32_t end = -1;    // offset of the last byte, inclusive

    // end - start + 1; 0 for an empty area. Meaningless for {-1, -1}.
    int64_t size() const { return int64_t{end} - start + 1; }
    bool isNone() const { return start == -1 && end == -1; }
    bool isEmpty() const { return int64_t{end} == int64_t{start} - 1; }

    friend bool operator==(const StorageArea&, const StorageArea&) = default;
};

// The area that a record of length 0 is given: it never touches the free areas.
inline constexpr StorageArea kEmptyRecordArea{1, 0};

}  // namespace vt
