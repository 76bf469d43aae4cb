// The in-memory index of a record store (CStorage's helper): keys in ascending UTF-16 code unit
// order, each with its StorageArea, plus a hash table for point lookups.
//
// Opening a large store must be fast, so keys read from the index file stay in the file's
// image (borrowed) instead of being copied one by one, tree nodes come from a pool, and the
// hash table is sized once. Keys added later are owned copies.
//
// Thread safety: none; the owning CStorage uses it under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/storage_area.h"

namespace vt::storage_detail {

struct IndexEntry {
    StorageArea area;
    // The save generation in which the area was written (see CStorage).
    uint64_t generation = 0;
};

// Key text of the index: borrowed from memory that the index keeps alive, or owned.
class IndexKey {
  public:
    static IndexKey borrow(std::u16string_view text) { return IndexKey(text.data(), text.size()); }
    static IndexKey copy(std::u16string_view text);
    IndexKey(IndexKey&& other) noexcept;
    IndexKey(const IndexKey&) = delete;
    IndexKey& operator=(const IndexKey&) = delete;
    IndexKey& operator=(IndexKey&&) = delete;
    ~IndexKey();

    std::u16string_view view() const { return {m_p, m_nSize}; }
    operator std::u16string_view() const { return view(); }

  private:
    IndexKey(const char16_t* p, size_t size, char16_t* owned = nullptr)
        : m_p(p), m_nSize(size), m_pOwned(owned) {}
    const char16_t* m_p;
    size_t m_nSize;
    char16_t* m_pOwned;  // null when borrowed
};

// Blocks of one size (the tree's nodes) carved from large chunks and recycled; other sizes go
// to the heap.
class NodePool {
  public:
    NodePool() = default;
    NodePool(const NodePool&) = delete;
    NodePool& operator=(const NodePool&) = delete;
    ~NodePool() { release(); }
    void* allocate(size_t size);
    void deallocate(void* p, size_t size);
    // Frees every chunk; no block may be in use.
    void release();

  private:
    size_t m_nBlock = 0;  // fixed by the first request
    std::vector<std::pair<std::unique_ptr<std::byte[]>, size_t>> m_chunks;  // memory, bytes
    std::byte* m_pNext = nullptr;
    size_t m_nLeft = 0;
    void* m_pFree = nullptr;  // recycled blocks, linked through their first word
};

template <class T>
struct PoolAllocator {
    using value_type = T;
    explicit PoolAllocator(NodePool* p) : pool(p) {}
    template <class U>
    PoolAllocator(const PoolAllocator<U>& other) : pool(other.pool) {}
    T* allocate(size_t n) {
        return static_cast<T*>(n == 1 ? pool->allocate(sizeof(T)) : ::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) {
        if (n == 1)
            pool->deallocate(p, sizeof(T));
        else
            ::operator delete(p);
    }
    template <class U>
    bool operator==(const PoolAllocator<U>& other) const {
        return pool == other.pool;
    }
    NodePool* pool;
};

struct KeyLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const { return a < b; }
};

class StorageIndex {
  public:
    using Map = std::map<IndexKey, IndexEntry, KeyLess,
                         PoolAllocator<std::pair<const IndexKey, IndexEntry>>>;
    using iterator = Map::iterator;
    using const_iterator = Map::const_iterator;

    StorageIndex();
    StorageIndex(const StorageIndex&) = delete;
    StorageIndex& operator=(const StorageIndex&) = delete;

    iterator begin() { return m_map.begin(); }
    iterator end() { return m_map.end(); }
    const_iterator begin() const { return m_map.begin(); }
    const_iterator end() const { return m_map.end(); }
    size_t size() const { return m_map.size(); }
    bool empty() const { return m_map.empty(); }

    // The entry of key, or end().
    iterator find(std::u16string_view key);
    // The area of key without touching the tree: false for a missing key.
    bool findArea(std::u16string_view key, StorageArea& area) const;
    // Replaces the entry of it (keeps the lookup table's copy of the area in step).
    void setEntry(iterator it, const IndexEntry& entry);
    // Adds a copy of key, which must be absent.
    iterator add(std::u16string_view key, const IndexEntry& entry);
    // Keys with their entries as an index file lists them.
    struct LoadItem {
        std::u16string_view key;
        IndexEntry entry;
    };
    // Adds or replaces each key, whose text lives in an image given to adoptImage (now or
    // before). Later items win over earlier ones with the same key.
    void load(const std::vector<LoadItem>& items);
    void erase(iterator it);
    // Makes room for count keys in all.
    void reserve(size_t count);
    // Keeps the memory of borrowed keys alive until clear().
    void adoptImage(std::unique_ptr<char16_t[]> image);
    void clear();

  private:
    // Open addressing with linear probing and backward-shift deletion (no tombstones).
    // A slot holds what a lookup needs: the key's text (through a pointer) and the area, so
    // that a fetch touches the slot and the key text, and not the tree node.
    struct Slot {
        uint64_t tag = 0;  // hash bits with the key length in the low 16 bits; 0: empty
        const char16_t* text = nullptr;
        StorageArea area;
        iterator it;
    };
    static uint64_t tagOf(std::u16string_view key);
    bool matches(const Slot& slot, uint64_t tag, std::u16string_view key) const;
    static constexpr size_t kNoSlot = ~size_t{0};
    size_t findSlot(std::u16string_view key, uint64_t tag) const;
    void insertSlot(iterator it, uint64_t tag);
    void loadOne(std::u16string_view key, const IndexEntry& entry, uint64_t tag);
    void rehash(size_t slotCount);

    NodePool m_pool;  // outlives m_map
    Map m_map;
    std::vector<Slot> m_slots;
    std::vector<std::unique_ptr<char16_t[]>> m_images;
};

}  // namespace vt::storage_detail
