#include "storage/storage_index.h"

#include <cstring>
#include <functional>
#include <new>
#include <utility>

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
constexpr size_t kChunkBytes = 256 * 1024;
constexpr size_t kAlign = alignof(std::max_align_t);
}  // namespace

void* NodePool::allocate(size_t size) {
    if (m_nBlock == 0) m_nBlock = (size + kAlign - 1) / kAlign * kAlign;
    if (size > m_nBlock) return ::operator new(size);
    if (m_pFree != nullptr) {
        void* block = m_pFree;
        std::memcpy(&m_pFree, block, sizeof(void*));
        return block;
    }
    if (m_nLeft < m_nBlock) {
        m_chunks.push_back(std::make_unique_for_overwrite<std::byte[]>(kChunkBytes));
        m_pNext = m_chunks.back().get();
        m_nLeft = kChunkBytes;
    }
    void* block = m_pNext;
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
    m_pFree = p;
}

void NodePool::release() {
    m_chunks.clear();
    m_pNext = nullptr;
    m_nLeft = 0;
    m_pFree = nullptr;
}

// ---------------------------------------------------------------------------------------------
// StorageIndex

StorageIndex::StorageIndex() : m_map(KeyLess(), Map::allocator_type(&m_pool)) {}

size_t StorageIndex::hashOf(std::u16string_view key) {
    const size_t h = std::hash<std::u16string_view>{}(key);
    return h == 0 ? 1 : h;
}

size_t StorageIndex::findSlot(std::u16string_view key, size_t hash) const {
    if (m_slots.empty()) return kNoSlot;
    const size_t mask = m_slots.size() - 1;
    for (size_t i = hash & mask; m_slots[i].hash != 0; i = (i + 1) & mask) {
        if (m_slots[i].hash == hash && m_slots[i].it->first.view() == key) return i;
    }
    return kNoSlot;
}

void StorageIndex::rehash(size_t slotCount) {
    std::vector<Slot> old = std::move(m_slots);
    m_slots.assign(slotCount, Slot{});
    const size_t mask = m_slots.size() - 1;
    for (const Slot& slot : old) {
        if (slot.hash == 0) continue;
        size_t i = slot.hash & mask;
        while (m_slots[i].hash != 0) i = (i + 1) & mask;
        m_slots[i] = slot;
    }
}

void StorageIndex::reserve(size_t count) {
    size_t slots = 64;
    while (slots < count * 2) slots *= 2;
    if (slots > m_slots.size()) rehash(slots);
}

void StorageIndex::insertSlot(iterator it, size_t hash) {
    // The map already holds the new key: keep the table at most half full.
    if (m_map.size() * 2 > m_slots.size()) reserve(m_map.size());
    const size_t mask = m_slots.size() - 1;
    size_t i = hash & mask;
    while (m_slots[i].hash != 0) i = (i + 1) & mask;
    m_slots[i] = Slot{hash, it};
}

StorageIndex::iterator StorageIndex::find(std::u16string_view key) {
    const size_t slot = findSlot(key, hashOf(key));
    return slot == kNoSlot ? m_map.end() : m_slots[slot].it;
}

StorageIndex::iterator StorageIndex::add(std::u16string_view key, const IndexEntry& entry) {
    // Keys added in ascending order (a bulk import) go to the end without a search.
    const bool last = m_map.empty() || m_map.rbegin()->first.view() < key;
    auto it = last ? m_map.emplace_hint(m_map.end(), IndexKey::copy(key), entry)
                   : m_map.emplace(IndexKey::copy(key), entry).first;
    insertSlot(it, hashOf(key));
    return it;
}

void StorageIndex::load(std::u16string_view key, const IndexEntry& entry) {
    // Index files list their keys in ascending order: the end is almost always the place.
    if (m_map.empty() || m_map.rbegin()->first.view() < key) {
        insertSlot(m_map.emplace_hint(m_map.end(), IndexKey::borrow(key), entry), hashOf(key));
        return;
    }
    auto [it, added] = m_map.try_emplace(IndexKey::borrow(key), entry);
    if (added) {
        insertSlot(it, hashOf(key));
    } else {
        it->second = entry;
    }
}

void StorageIndex::erase(iterator it) {
    const std::u16string_view key = it->first.view();
    size_t hole = findSlot(key, hashOf(key));
    if (hole != kNoSlot) {
        const size_t mask = m_slots.size() - 1;
        // Move later members of the probe run back into the hole where their home allows.
        for (size_t j = (hole + 1) & mask; m_slots[j].hash != 0; j = (j + 1) & mask) {
            const size_t home = m_slots[j].hash & mask;
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
