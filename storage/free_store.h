// The free-area bookkeeping of a record store's data file.
//
// CStorageFreeStore remembers which byte ranges of the data file are free. It merges a freed
// range with its free neighbours, hands out space best fit by size (among equal sizes, the
// range that has been free, unchanged, the longest), and lists the free ranges in address
// order for the index file. Each free range is held by a CDataBlockHolder.
//
// Thread safety: none. The owning CStorage reaches its free store only under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "storage/storage_area.h"

namespace vt {

// Holds one free range; it can grow at either end and give away bytes from its low end.
class CDataBlockHolder {
  public:
    CDataBlockHolder(int32_t start, int32_t end);
    virtual ~CDataBlockHolder();
    CDataBlockHolder(const CDataBlockHolder&) = delete;
    CDataBlockHolder& operator=(const CDataBlockHolder&) = delete;

    bool hasArea() const { return m_area.has_value(); }
    // -1 without an area.
    int32_t getStart() const { return m_area ? m_area->start : -1; }
    int32_t getEnd() const { return m_area ? m_area->end : -1; }
    int64_t getSize() const { return m_area ? m_area->size() : -1; }

    // Grows the held range by {start, end}, which must touch its low or its high end; without
    // an area the holder takes {start, end}. Throws TextError
    // "CDataBlockHolder::append: cannot append" when the range touches neither end.
    void append(int32_t start, int32_t end);
    // Takes over the other holder's range (which must touch this one) and leaves the other
    // without an area; the caller then destroys it.
    void merge(CDataBlockHolder& other);
    // Hands out the lowest n bytes as area. False (area {0, 0}) when fewer than n are held.
    // A holder that has handed out its last byte has no area any more.
    bool getArea(int32_t n, StorageArea& area);

  private:
    std::optional<StorageArea> m_area;
};

class CStorageFreeStore {
  public:
    CStorageFreeStore();
    virtual ~CStorageFreeStore();
    CStorageFreeStore(const CStorageFreeStore&) = delete;
    CStorageFreeStore& operator=(const CStorageFreeStore&) = delete;

    // Adds a freed range and merges it with free neighbours. Refuses (false, logged) an area
    // that is empty, negative or overlaps a range that is already free; nothing changes then.
    bool addFreeArea(const StorageArea& area);
    // Takes n bytes from the best-fitting free range: its lowest n bytes. False when no free
    // range holds n bytes, and for n <= 0 (empty records never use free space).
    bool getFreeArea(int32_t n, StorageArea& area);
    // Replaces the list's contents with every free range in ascending start order.
    void getFreeDataBlocks(std::vector<StorageArea>& blocks) const;
    // Forgets every free range.
    void cleanup();

    size_t getCount() const { return m_byStart.size(); }

  private:
    using BySize = std::multimap<int64_t, CDataBlockHolder*>;
    struct Slot {
        std::unique_ptr<CDataBlockHolder> holder;  // the owner of the holder
        BySize::iterator bySize;                   // its entry in m_bySize
    };
    using ByStart = std::map<int32_t, Slot>;
    using ByEnd = std::map<int32_t, CDataBlockHolder*>;

    // Puts a holder (already in m_byStart's node) into the by-size and by-end maps.
    void insertNode(ByStart::node_type node);

    BySize m_bySize;    // size -> holder; equal sizes in insertion order
    ByStart m_byStart;  // start -> holder (owning)
    ByEnd m_byEnd;      // end -> holder
};

}  // namespace vt
