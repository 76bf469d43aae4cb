#include "storage/free_store.h"

#include <limits>
#include <string>
#include <utility>

#include "storage/log_util.h"
#include "util/text_error.h"

namespace vt {

namespace {

using storage_detail::traceF;
using storage_detail::traceOn;

const LogChannel& holderLog() {
    static const LogChannel channel(u"(genut)DataBlockHolder");
    return channel;
}

const LogChannel& freeLog() {
    static const LogChannel channel(u"(genut)CStorageFrSt.");
    return channel;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CDataBlockHolder

CDataBlockHolder::CDataBlockHolder(int32_t start, int32_t end) : m_area(StorageArea{start, end}) {
    traceF(holderLog(), u"CDataBlockHolder(%d, %d)", start, end);
}

CDataBlockHolder::~CDataBlockHolder() {
    try {
        if (m_area) {
            traceF(holderLog(), u"~CDataBlockHolder(%d, %d)", m_area->start, m_area->end);
        } else {
            traceF(holderLog(), u"~CDataBlockHolder()");
        }
    } catch (...) {
        // A log line is not worth a terminate.
    }
}

void CDataBlockHolder::append(int32_t start, int32_t end) {
    traceF(holderLog(), u"append(%d, %d)", start, end);
    if (!m_area) {
        m_area = StorageArea{start, end};
    } else if (int64_t{m_area->end} + 1 == start) {
        m_area->end = end;
    } else if (int64_t{end} + 1 == m_area->start) {
        m_area->start = start;
    } else {
        throw TextError(u"CDataBlockHolder::append: cannot append");
    }
}

void CDataBlockHolder::merge(CDataBlockHolder& other) {
    traceF(holderLog(), u"merge()");
    if (!other.m_area) return;
    append(other.m_area->start, other.m_area->end);
    other.m_area.reset();
}

bool CDataBlockHolder::getArea(int32_t n, StorageArea& area) {
    traceF(holderLog(), u"getArea(%d)", n);
    area = StorageArea{0, 0};
    if (n < 0 || getSize() < n) return false;
    area = StorageArea{m_area->start, static_cast<int32_t>(int64_t{m_area->start} + n - 1)};
    const int64_t newStart = int64_t{m_area->start} + n;
    if (newStart > m_area->end) {
        m_area.reset();
        traceF(holderLog(), u"getArea(): datablock deleted");
    } else {
        m_area->start = static_cast<int32_t>(newStart);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// CStorageFreeStore

CStorageFreeStore::CStorageFreeStore() {
    traceF(freeLog(), u"CStorageFreeStore()");
}

CStorageFreeStore::~CStorageFreeStore() {
    try {
        traceF(freeLog(), u"~CStorageFreeStore()");
    } catch (...) {
    }
    cleanup();
}

void CStorageFreeStore::insertNode(ByStart::node_type node) {
    CDataBlockHolder* holder = node.mapped().holder.get();
    node.mapped().bySize = m_bySize.emplace(holder->getSize(), holder);
    m_byEnd.emplace(holder->getEnd(), holder);
    m_byStart.insert(std::move(node));
}

bool CStorageFreeStore::addFreeArea(const StorageArea& area) {
    const bool trace = traceOn(freeLog());
    if (trace) freeLog().trace(u"addFreeArea()");
    const int32_t s = area.start;
    const int32_t e = area.end;
    if (s < 0 || e < s) {
        freeLog().high(format(u"addFreeArea(%d, %d) refused: not an area", s, e));
        return false;
    }
    // The record store never frees a range twice; a damaged index could make it try.
    auto above = m_byStart.lower_bound(s);
    bool overlaps = above != m_byStart.end() && above->first <= e;
    if (!overlaps && above != m_byStart.begin()) {
        overlaps = std::prev(above)->second.holder->getEnd() >= s;
    }
    if (overlaps) {
        freeLog().high(format(u"addFreeArea(%d, %d) refused: overlaps a free area", s, e));
        return false;
    }

    ByStart::node_type next;
    ByStart::node_type prev;
    if (e < std::numeric_limits<int32_t>::max()) {
        auto found = m_byStart.find(e + 1);
        if (found != m_byStart.end()) {
            if (trace) freeLog().trace(u"addFreeArea(): hitted someone's start address");
            next = m_byStart.extract(found);
            m_byEnd.erase(next.mapped().holder->getEnd());
            if (trace) freeLog().trace(u"addFreeArea():erasing by size");
            m_bySize.erase(next.mapped().bySize);
        }
    }
    if (s > 0) {
        auto found = m_byEnd.find(s - 1);
        if (found != m_byEnd.end()) {
            if (trace) freeLog().trace(u"addFreeArea():hitted someone's end address");
            CDataBlockHolder* holder = found->second;
            m_byEnd.erase(found);
            prev = m_byStart.extract(holder->getStart());
            if (trace) freeLog().trace(u"addFreeArea():erasing by size");
            m_bySize.erase(prev.mapped().bySize);
        }
    }

    if (next && prev) {
        // The next holder survives; the previous one is merged into it and destroyed.
        next.mapped().holder->append(s, e);
        next.mapped().holder->merge(*prev.mapped().holder);
        prev = ByStart::node_type();
        next.key() = next.mapped().holder->getStart();
        insertNode(std::move(next));
    } else if (next) {
        next.mapped().holder->append(s, e);
        next.key() = s;
        insertNode(std::move(next));
    } else if (prev) {
        prev.mapped().holder->append(s, e);
        insertNode(std::move(prev));
    } else {
        auto holder = std::make_unique<CDataBlockHolder>(s, e);
        CDataBlockHolder* raw = holder.get();
        auto sizeIt = m_bySize.emplace(raw->getSize(), raw);
        m_byEnd.emplace(e, raw);
        m_byStart.emplace(s, Slot{std::move(holder), sizeIt});
    }
    return true;
}

bool CStorageFreeStore::getFreeArea(int32_t n, StorageArea& area) {
    const bool trace = traceOn(freeLog());
    if (trace) freeLog().trace(u"getFreeArea()");
    if (n <= 0) return false;
    auto best = m_bySize.lower_bound(n);
    if (best == m_bySize.end()) return false;
    if (trace) freeLog().trace(u"getFreeArea(): found");

    CDataBlockHolder* holder = best->second;
    m_bySize.erase(best);
    m_byEnd.erase(holder->getEnd());
    ByStart::node_type node = m_byStart.extract(holder->getStart());
    holder->getArea(n, area);
    if (holder->hasArea()) {
        if (trace) freeLog().trace(u"getFreeArea(): rest of area to free");
        node.key() = holder->getStart();
        insertNode(std::move(node));
    }
    // Otherwise the node, and with it the empty holder, is destroyed here.
    return true;
}

void CStorageFreeStore::getFreeDataBlocks(std::vector<StorageArea>& blocks) const {
    traceF(freeLog(), u"getFreeDataBlocks()");
    blocks.clear();
    blocks.reserve(m_byStart.size());
    for (const auto& [start, slot] : m_byStart) {
        blocks.push_back(StorageArea{start, slot.holder->getEnd()});
    }
    traceF(freeLog(), u"getFreeDataBlocks(): %d blocks", static_cast<int32_t>(blocks.size()));
}

void CStorageFreeStore::cleanup() {
    try {
        traceF(freeLog(), u"cleanup()");
    } catch (...) {
    }
    m_bySize.clear();
    m_byEnd.clear();
    m_byStart.clear();
}

}  // namespace vt
