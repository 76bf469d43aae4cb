#include "storage/storage_index.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define VT_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VT_POOL_ASAN 1
#endif
#endif
#ifdef VT_POOL_ASAN
#include <sanitizer/asan_interface.h>
// Recycled and unused pool blocks are poisoned, so that AddressSanitizer still sees a use of a
// freed tree node.
#define VT_POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define VT_POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define VT_POOL_POISON(p, n) ((void)(p), (void)(n))
#define VT_POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#if defined(__GNUC__) || defined(__clang__)
#define VT_PREFETCH(p) __builtin_prefetch(p, 1)
#else
#define VT_PREFETCH(p) ((void)(p))
#endif

namespace vt::storage_detail {

// ---------------------------------------------------------------------------------------------
// IndexKey

IndexKey IndexKey::copy(std::u16string_view text) {
    auto* owned = new char16_t[text.empty() ? 1 : text.size()];
    if (!text.empty()) std::memcpy(owned, text.data(), text.size() * sizeof(char16_t));
    return IndexKey(owned, text.size(), owned);
}

IndexKey::IndexKey(IndexKey&& other) noexcept
    : m_p(other.m_p), m_nSize(other.m_nSize), m_pOwned(other.m_pOwned) {
    other.m_pOwned = nullptr;
}

IndexKey::~IndexKey() {
    delete[] m_pOwned;
}

// ---------------------------------------------------------------------------------------------
// NodePool

namespace {
constexpr size_t kMinChunkBytes = 4 * 1024;
constexpr size_t kMaxChunkBytes = 256 * 1024;
constexpr size_t kAlign = alignof(std::max_align_t);
}  // namespace

void* NodePool::allocate(size_t size) {
    if (m_nBlock == 0) m_nBlock = (size + kAlign - 1) / kAlign * kAlign;
    if (size > m_nBlock) return ::operator new(size);
    if (m_pFree != nullptr) {
        void* block = m_pFree;
        VT_POOL_UNPOISON(block, m_nBlock);
        std::memcpy(&m_pFree, block, sizeof(void*));
        return block;
    }
    if (m_nLeft < m_nBlock) {
        // Chunks grow with the pool: a small store takes little memory, a large one few chunks.
        const size_t bytes =
            std::min(kMaxChunkBytes, kMinChunkBytes << std::min<size_t>(m_chunks.size(), 6));
        m_chunks.push_back({std::make_unique_for_overwrite<std::byte[]>(bytes), bytes});
        m_pNext = m_chunks.back().first.get();
        m_nLeft = bytes;
        VT_POOL_POISON(m_pNext, m_nLeft);
    }
    void* block = m_pNext;
    VT_POOL_UNPOISON(block, m_nBlock);
    m_pNext += m_nBlock;
    m_nLeft -= m_nBlock;
    return block;
}

void NodePool::deallocate(void* p, size_t size) {
    if (size > m_nBlock) {
        ::operator delete(p);
        return;
    }
    std::memcpy(p, &m_pFree, sizeof(void*));
    VT_POOL_POISON(p, m_nBlock);
    m_pFree = p;
}

void NodePool::release() {
    for (auto& chunk : m_chunks) VT_POOL_UNPOISON(chunk.first.get(), chunk.second);
    m_chunks.clear();
    m_pNext = nullptr;
    m_nLeft = 0;
    m_pFree = nullptr;
}

// ---------------------------------------------------------------------------------------------
// StorageIndex

StorageIndex::StorageIndex() : m_map(KeyLess(), Map::allocator_type(&m_pool)) {}

uint64_t StorageIndex::tagOf(std::u16string_view key) {
    const uint64_t hash = std::hash<std::u16string_view>{}(key);
    // Keys of 65535 units and more share the length field's top value.
    const uint64_t length = std::min<uint64_t>(key.size(), 0xFFFF);
    const uint64_t tag = (hash & ~uint64_t{0xFFFF}) | length;
    return tag == 0 ? 0x10000 : tag;
}

bool StorageIndex::matches(const Slot& slot, uint64_t tag, std::u16string_view key) const {
    if (slot.tag != tag) return false;
    if (key.size() >= 0xFFFF) return slot.it->first.view() == key;
    return key.empty() || std::memcmp(slot.text, key.data(), key.size() * 2) == 0;
}

size_t StorageIndex::findSlot(std::u16string_view key, uint64_t tag) const {
    if (m_slots.empty()) return kNoSlot;
    const size_t mask = m_slots.size() - 1;
    for (size_t i = (tag >> 16) & mask; m_slots[i].tag != 0; i = (i + 1) & mask) {
        if (matches(m_slots[i], tag, key)) return i;
    }
    return kNoSlot;
}

void StorageIndex::rehash(size_t slotCount) {
    std::vector<Slot> old = std::move(m_slots);
    m_slots.assign(slotCount, Slot{});
    const size_t mask = m_slots.size() - 1;
    for (const Slot& slot : old) {
        if (slot.tag == 0) continue;
        size_t i = (slot.tag >> 16) & mask;
        while (m_slots[i].tag != 0) i = (i + 1) & mask;
        m_slots[i] = slot;
    }
}

void StorageIndex::reserve(size_t count) {
    size_t slots = 64;
    while (slots < count * 2) slots *= 2;
    if (slots > m_slots.size()) rehash(slots);
}

void StorageIndex::insertSlot(iterator it, uint64_t tag) {
    // The map already holds the new key. A table filled one key at a time grows once it is
    // more than five eighths full (to five sixteenths): for 8k to 10k keys that is one size
    // below growing at half full, half the fresh memory to touch while a store fills, for
    // slightly longer probe runs. load() still sizes the table for half full.
    if (m_map.size() * 8 > m_slots.size() * 5) reserve(m_map.size());
    const size_t mask = m_slots.size() - 1;
    size_t i = (tag >> 16) & mask;
    while (m_slots[i].tag != 0) i = (i + 1) & mask;
    m_slots[i] = Slot{tag, it->first.view().data(), it->second.area, it};
}

StorageIndex::iterator StorageIndex::find(std::u16string_view key) {
    const size_t slot = findSlot(key, tagOf(key));
    return slot == kNoSlot ? m_map.end() : m_slots[slot].it;
}

bool StorageIndex::findArea(std::u16string_view key, StorageArea& area) const {
    const size_t slot = findSlot(key, tagOf(key));
    if (slot == kNoSlot) return false;
    area = m_slots[slot].area;
    return true;
}

void StorageIndex::setEntry(iterator it, const IndexEntry& entry) {
    it->second = entry;
    const size_t slot = findSlot(it->first.view(), tagOf(it->first.view()));
    if (slot != kNoSlot) m_slots[slot].area = entry.area;
}

StorageIndex::iterator StorageIndex::add(std::u16string_view key, const IndexEntry& entry) {
    // Keys added in ascending order (a bulk import) go to the end without a search.
    const bool last = m_map.empty() || m_map.rbegin()->first.view() < key;
    auto it = last ? m_map.emplace_hint(m_map.end(), IndexKey::copy(key), entry)
                   : m_map.emplace(IndexKey::copy(key), entry).first;
    insertSlot(it, tagOf(key));
    return it;
}

void StorageIndex::loadOne(std::u16string_view key, const IndexEntry& entry, uint64_t tag) {
    // Index files list their keys in ascending order: the end is almost always the place.
    if (m_map.empty() || m_map.rbegin()->first.view() < key) {
        insertSlot(m_map.emplace_hint(m_map.end(), IndexKey::borrow(key), entry), tag);
        return;
    }
    auto [it, added] = m_map.try_emplace(IndexKey::borrow(key), entry);
    if (added) {
        insertSlot(it, tag);
    } else {
        setEntry(it, entry);
    }
}

void StorageIndex::load(const std::vector<LoadItem>& items) {
    reserve(m_map.size() + items.size());
    std::vector<uint64_t> tags(items.size());
    for (size_t i = 0; i < items.size(); ++i) tags[i] = tagOf(items[i].key);
    // Sorted keys land on random slots: ask for the slots a few keys ahead, so that the
    // cache misses of the table overlap instead of adding up.
    constexpr size_t kAhead = 16;
    const size_t mask = m_slots.size() - 1;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i + kAhead < items.size()) VT_PREFETCH(&m_slots[(tags[i + kAhead] >> 16) & mask]);
        loadOne(items[i].key, items[i].entry, tags[i]);
    }
}

void StorageIndex::erase(iterator it) {
    const std::u16string_view key = it->first.view();
    size_t hole = findSlot(key, tagOf(key));
    if (hole != kNoSlot) {
        const size_t mask = m_slots.size() - 1;
        // Move later members of the probe run back into the hole where their home allows.
        for (size_t j = (hole + 1) & mask; m_slots[j].tag != 0; j = (j + 1) & mask) {
            const size_t home = (m_slots[j].tag >> 16) & mask;
            const bool movable =
                hole <= j ? (home <= hole || home > j) : (home <= hole && home > j);
            if (movable) {
                m_slots[hole] = m_slots[j];
                hole = j;
            }
        }
        m_slots[hole] = Slot{};
    }
    m_map.erase(it);
}

void StorageIndex::adoptImage(std::unique_ptr<char16_t[]> image) {
    m_images.push_back(std::move(image));
}

void StorageIndex::clear() {
    m_map.clear();
    m_pool.release();
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_images.clear();
}

}  // namespace vt::storage_detail
