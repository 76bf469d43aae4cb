#include "storage/storage.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <utility>

#include "storage/log_util.h"

namespace vt {

namespace {

using storage_detail::traceF;
using storage_detail::traceOn;

// Keys are used in place in the index file's image, whose code units are little-endian.
static_assert(std::endian::native == std::endian::little, "keys need converting on this host");

constexpr uint32_t kIndexMagic = 0xCAFFEE13u;
constexpr size_t kHeaderSize = 12;
constexpr int64_t kMaxDataFileLength = std::numeric_limits<int32_t>::max();

const LogChannel& log() {
    static const LogChannel channel(u"(genut)CStorage");
    return channel;
}

uint32_t get32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint8_t* put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
    return p + 4;
}

uint8_t* putKey(uint8_t* p, std::u16string_view key) {
    std::memcpy(p, key.data(), key.size() * 2);
    return p + key.size() * 2;
}

// Whether each area starts after the one before it ends: then they are in ascending start
// order and share no byte.
bool ascendingAndDisjoint(const std::vector<StorageArea>& areas) {
    return std::adjacent_find(areas.begin(), areas.end(),
                              [](const StorageArea& a, const StorageArea& b) {
                                  return b.start <= a.end;
                              }) == areas.end();
}

// Whether area shares a byte with one of taken: areas in ascending start order that share
// none with each other.
bool overlapsAny(const std::vector<StorageArea>& taken, const StorageArea& area) {
    const auto above =
        std::upper_bound(taken.begin(), taken.end(), area.end,
                         [](int32_t end, const StorageArea& a) { return end < a.start; });
    // Disjoint areas in start order also end in that order: the one below ends the highest.
    return above != taken.begin() && std::prev(above)->end >= area.start;
}

// The position of the first item whose area shares a byte with that of an earlier item, or
// items.size().
size_t firstOverlapping(const std::vector<storage_detail::StorageIndex::LoadItem>& items) {
    std::map<int32_t, int32_t> seen;  // start -> end, no two overlapping
    for (size_t i = 0; i < items.size(); ++i) {
        const StorageArea& area = items[i].entry.area;
        if (area.isEmpty()) continue;
        const auto above = seen.upper_bound(area.end);
        if (above != seen.begin() && std::prev(above)->second >= area.start) return i;
        seen.emplace_hint(above, area.start, area.end);
    }
    return items.size();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CStorage

CStorage::CStorage() : CStorage(kDefaultWriteBufferBytes) {}

CStorage::CStorage(size_t writeBufferBytes) : m_nBufferCapacity(writeBufferBytes) {}

CStorage::~CStorage() {
    try {
        CritSecLock lock(m_cs);
        if (closeLocked() < 0) dropAll();
    } catch (...) {
        // Never throw from a destructor; whatever was not saved is lost.
    }
}

bool CStorage::isOpen() {
    CritSecLock lock(m_cs);
    return !m_strIndexFile.empty();
}

int32_t CStorage::initialize(const std::u16string& name) {
    CritSecLock lock(m_cs);
    if (!m_strIndexFile.empty()) {
        const int32_t rc = closeLocked();
        if (rc < 0) return rc;
    }
    m_strIndexFile = name + u".dix";
    const std::u16string dataName = name + u".dta";
    plat::FileStatus status;
    const bool existed = plat::getFileStatus(dataName, &status);

    plat::FileException error(plat::kCauseNone, 0, dataName);
    uint64_t length = 0;
    bool opened = m_dataFile.tryOpen(dataName, plat::Access::ReadWrite,
                                     plat::Disposition::OpenAlways, plat::Share::DenyWrite, &error);
    if (opened) {
        try {
            length = m_dataFile.length();
        } catch (const plat::FileException& e) {
            error = e;
            opened = false;
            try {
                m_dataFile.close();
            } catch (const plat::FileException&) {
            }
        }
    }
    if (!opened) {
        m_strIndexFile.clear();
        log().critic(format(u"initialize error in open (%s) %d", dataName, error.osError()));
        return kStorageOpenError;
    }

    m_bChanged = false;
    m_bDataUnflushed = false;
    m_nGeneration = 1;
    m_nDataEnd = static_cast<int64_t>(length);
    plat::FileStatus indexStatus;
    const bool indexExists = plat::getFileStatus(m_strIndexFile, &indexStatus);

    if (length == 0) {
        if (!indexExists) return kStorageCreated;
        // An existing empty data file can still go with records of length 0. Anything else in
        // an index file beside a new or empty data file is stale: the store starts empty, and
        // the index file is replaced by an empty one now, so that it cannot come back after a
        // crash and point into the records written from here on.
        const bool usable = existed && indexFromFile() == kStorageOk &&
                            m_freeStore.getCount() == 0 &&
                            std::all_of(m_index.begin(), m_index.end(),
                                        [](const auto& kv) { return kv.second.area.isEmpty(); });
        if (!usable) {
            m_index.clear();
            m_freeStore.cleanup();
            m_nDataEnd = 0;
            if (indexToFile() < 0) m_bChanged = true;
        }
        return kStorageCreated;
    }

    if (indexFromFile() != kStorageOk) return kStorageOpenError;
    return kStorageOk;
}

int32_t CStorage::store(const std::u16string& key, const void* data, int32_t byteCount) {
    CritSecLock lock(m_cs);
    if (m_strIndexFile.empty()) {
        log().high(format(u"store (%s, ...), store is not open", key));
        return kStorageOpenError;
    }
    if (byteCount < 0 || (byteCount > 0 && data == nullptr)) {
        log().high(format(u"store (%s, ...), bad byte count %d", key, byteCount));
        return kStorageBadArgument;
    }
    const auto found = m_index.find(key);
    const bool replacing = found != m_index.end();

    // The new area is chosen while the old record still holds its own: a replacement that
    // fails to write must leave the old record intact.
    StorageArea area = kEmptyRecordArea;
    bool fromFree = false;
    if (byteCount > 0 && !getNewLocation(byteCount, area, fromFree)) {
        log().high(format(u"store (%s, ...), the data file would pass %d bytes (%d)", key,
                          static_cast<int32_t>(kMaxDataFileLength), kStorageFull));
        return kStorageFull;
    }
    m_bChanged = true;
    if (byteCount > 0) {
        const int32_t rc =
            !fromFree && appendToBuffer(area, data) ? kStorageOk : writeData(area, data);
        if (rc < 0) {
            if (fromFree) m_freeStore.addFreeArea(area);
            log().high(format(u"store (%s, ...), writeData failed (%d)", key, rc));
            return rc;
        }
        if (!fromFree) m_nDataEnd = int64_t{area.end} + 1;
    }

    if (replacing) {
        freeStorage(found->second);
        m_index.setEntry(found, Entry{area, m_nGeneration});
        traceF(log(), u"store (%s, ...), replacing succeeded", key);
        return kStorageReplaced;
    }
    m_index.add(key, Entry{area, m_nGeneration});
    traceF(log(), u"store (%s, ...), adding succeeded", key);
    return kStorageAdded;
}

int32_t CStorage::fetch(const std::u16string& key, void* buffer, int32_t bufferSize,
                        int32_t& byteCount) {
    CritSecLock lock(m_cs);
    StorageArea area;
    if (!m_index.findArea(key, area)) {
        log().high(format(u"fetch(%s, ...) No such key", key));
        return kStorageNoSuchKey;
    }
    if (bufferSize < area.size()) {
        log().high(format(u"fetch(%s, ...) Not enough space for data", key));
        return kStorageBufferTooSmall;
    }
    const int32_t rc = readData(area, buffer);
    if (rc < 0) return rc;
    byteCount = static_cast<int32_t>(area.size());
    return kStorageOk;
}

int32_t CStorage::fetch(const std::u16string& key, std::vector<uint8_t>& data) {
    CritSecLock lock(m_cs);
    StorageArea area;
    if (!m_index.findArea(key, area)) {
        log().high(format(u"fetch(%s, ...) No such key", key));
        return kStorageNoSuchKey;
    }
    try {
        data.resize(static_cast<size_t>(area.size()));
    } catch (const std::bad_alloc&) {
        // Only a damaged index file names a record this large.
        traceF(log(), u"readData() read error");
        return kStorageReadError;
    }
    const int32_t rc = readData(area, data.data());
    if (rc < 0) data.clear();
    return rc;
}

int32_t CStorage::getDataSize(const std::u16string& key, int32_t& size) {
    CritSecLock lock(m_cs);
    size = -1;
    StorageArea area;
    if (!m_index.findArea(key, area)) {
        log().high(format(u"getDataSize(%s) No such key", key));
        return kStorageNoSuchKey;
    }
    size = static_cast<int32_t>(area.size());
    return kStorageOk;
}

int32_t CStorage::remove(const std::u16string& key) {
    CritSecLock lock(m_cs);
    traceF(log(), u"remove(%s)", key);
    const auto it = m_index.find(key);
    if (it == m_index.end()) {
        log().high(format(u"remove(%s) No such key", key));
        return kStorageNoSuchKey;
    }
    freeStorage(it->second);
    m_bChanged = true;
    m_index.erase(it);
    return kStorageOk;
}

int32_t CStorage::getKeys(std::vector<std::u16string>& keys) {
    CritSecLock lock(m_cs);
    keys.reserve(keys.size() + m_index.size());
    for (const auto& kv : m_index) keys.emplace_back(kv.first.view());
    return kStorageOk;
}

int32_t CStorage::save() {
    CritSecLock lock(m_cs);
    if (!m_bChanged) {
        traceF(log(), u"save(), indexFile up to date already");
        return kStorageOk;
    }
    const int32_t rc = indexToFile();
    if (rc < 0) {
        // The doubled bracket and the other log texts are kept as log readers know them.
        log().high(format(u"save(), indexToFile failed (%d))", rc));
        return rc;
    }
    m_bChanged = false;
    return kStorageOk;
}

int32_t CStorage::close() {
    CritSecLock lock(m_cs);
    return closeLocked();
}

int32_t CStorage::closeLocked() {
    if (m_strIndexFile.empty()) return kStorageOk;
    if (m_bChanged) {
        const int32_t rc = indexToFile();
        if (rc < 0) {
            log().high(format(u"close(), indexToFile failed (%d)", rc));
            return rc;
        }
        m_bChanged = false;
    }
    dropAll();
    return kStorageOk;
}

void CStorage::dropAll() {
    m_index.clear();
    m_freeStore.cleanup();
    m_pendingFree.clear();
    m_strIndexFile.clear();
    m_pBuffer.reset();
    m_nBufferUsed = 0;
    m_bBufferStuck = false;
    releaseReservation();
    try {
        if (m_dataFile.isOpen()) m_dataFile.close();
    } catch (const plat::FileException&) {
        // The handle is gone either way.
    }
    m_bChanged = false;
    m_bDataUnflushed = false;
    m_nDataEnd = 0;
}

bool CStorage::getNewLocation(int32_t n, StorageArea& area, bool& fromFree) {
    traceF(log(), u"getNewLocation( byteCount = %d)", n);
    if (m_freeStore.getFreeArea(n, area)) {
        fromFree = true;
        return true;
    }
    if (m_nDataEnd + n > kMaxDataFileLength) return false;
    fromFree = false;
    area = StorageArea{static_cast<int32_t>(m_nDataEnd), static_cast<int32_t>(m_nDataEnd + n - 1)};
    return true;
}

void CStorage::freeStorage(const Entry& entry) {
    const StorageArea& area = entry.area;
    if (area.isNone() || area.size() <= 0) return;
    if (entry.generation < m_nGeneration) {
        // The index file on disk still points here: keep the bytes until it no longer does.
        m_pendingFree.push_back(area);
    } else {
        m_freeStore.addFreeArea(area);
    }
}

void CStorage::bufferOverlap(int64_t start, int64_t end, int64_t& inStart, int64_t& inEnd) const {
    if (m_nBufferUsed == 0) return;
    inStart = std::clamp(m_nBufferStart, start, end);
    inEnd = std::clamp(m_nBufferStart + static_cast<int64_t>(m_nBufferUsed), inStart, end);
}

int32_t CStorage::writeData(const StorageArea& area, const void* data) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    const int64_t start = area.start;
    const int64_t end = int64_t{area.end} + 1;
    // A free area may lie in the buffer (space of a buffered record that was replaced), wholly
    // or, merged with a free neighbour, partly; that part is written into the buffer.
    int64_t inStart = end, inEnd = end;
    bufferOverlap(start, end, inStart, inEnd);
    const std::pair<int64_t, int64_t> outside[] = {{start, inStart}, {inEnd, end}};
    for (const auto& [from, to] : outside) {
        if (from == to) continue;
        m_bDataUnflushed = true;
        try {
            m_dataFile.writeAt(static_cast<uint64_t>(from), bytes + (from - start),
                               static_cast<size_t>(to - from));
        } catch (const plat::FileException&) {
            traceF(log(), u"writeData() write error");
            return kStorageWriteError;
        }
    }
    if (inStart != inEnd) {
        std::memcpy(m_pBuffer.get() + (inStart - m_nBufferStart), bytes + (inStart - start),
                    static_cast<size_t>(inEnd - inStart));
    }
    return kStorageOk;
}

bool CStorage::appendToBuffer(const StorageArea& area, const void* data) {
    const auto size = static_cast<size_t>(area.size());
    if (size > m_nBufferCapacity / 4) return false;
    if (m_nBufferUsed > 0) {
        if (m_nBufferStart + static_cast<int64_t>(m_nBufferUsed) == area.start &&
            m_nBufferUsed + size <= m_nBufferCapacity) {
            std::memcpy(m_pBuffer.get() + m_nBufferUsed, data, size);
            m_nBufferUsed += size;
            return true;
        }
        // Records written at once since a failed write of the buffer have left it behind.
        if (m_bBufferStuck || flushBuffer() < 0) return false;
    }
    // A new buffer starts at area. Its space is reserved first: the file system's refusal
    // (a full disk) is then met by this record's own write, and the buffer never has to write
    // where no space was set aside.
    if (!m_pBuffer) {
        m_pBuffer.reset(new (std::nothrow) uint8_t[m_nBufferCapacity]);
        if (!m_pBuffer) return false;
    }
    const int64_t reserveEnd =
        std::min(area.start + static_cast<int64_t>(m_nBufferCapacity), kMaxDataFileLength);
    const int64_t reserveStart = std::max<int64_t>(area.start, m_nReservedEnd);
    if (reserveStart < reserveEnd) {
        try {
            m_dataFile.reserve(static_cast<uint64_t>(reserveStart),
                               static_cast<uint64_t>(reserveEnd - reserveStart));
        } catch (const plat::FileException& e) {
            traceF(log(), u"appendToBuffer() no space reserved (%d)", e.osError());
            return false;
        }
        m_nReservedEnd = reserveEnd;
    }
    m_nBufferStart = area.start;
    std::memcpy(m_pBuffer.get(), data, size);
    m_nBufferUsed = size;
    return true;
}

int32_t CStorage::flushBuffer() {
    if (m_nBufferUsed == 0) return kStorageOk;
    m_bDataUnflushed = true;
    try {
        m_dataFile.writeAt(static_cast<uint64_t>(m_nBufferStart), m_pBuffer.get(), m_nBufferUsed);
    } catch (const plat::FileException& e) {
        m_bBufferStuck = true;
        log().critic(format(u"flushBuffer() error %d in writing %d bytes at %d to dataFile '%s'",
                            e.osError(), static_cast<int32_t>(m_nBufferUsed),
                            static_cast<int32_t>(m_nBufferStart), m_dataFile.path()));
        return kStorageWriteError;
    }
    m_nBufferUsed = 0;
    m_bBufferStuck = false;
    return kStorageOk;
}

void CStorage::releaseReservation() {
    if (m_nReservedEnd == 0) return;
    m_nReservedEnd = 0;
    // Setting the length to itself frees space allocated beyond the end.
    try {
        if (m_dataFile.isOpen()) m_dataFile.setLength(m_dataFile.length());
    } catch (const plat::FileException&) {
        // The space stays allocated until the file grows over it.
    }
}

int32_t CStorage::readData(const StorageArea& area, void* buffer) {
    const size_t size = static_cast<size_t>(area.size());
    if (size == 0) return kStorageOk;
    auto* bytes = static_cast<uint8_t*>(buffer);
    const int64_t start = area.start;
    const int64_t end = int64_t{area.end} + 1;
    int64_t inStart = end, inEnd = end;
    bufferOverlap(start, end, inStart, inEnd);
    if (inStart != inEnd) {
        std::memcpy(bytes + (inStart - start), m_pBuffer.get() + (inStart - m_nBufferStart),
                    static_cast<size_t>(inEnd - inStart));
    }
    const std::pair<int64_t, int64_t> outside[] = {{start, inStart}, {inEnd, end}};
    for (const auto& [from, to] : outside) {
        if (from == to) continue;
        const auto count = static_cast<size_t>(to - from);
        size_t got = 0;
        try {
            got = m_dataFile.readAt(static_cast<uint64_t>(from), bytes + (from - start), count);
        } catch (const plat::FileException&) {
            traceF(log(), u"readData() read error");
            return kStorageReadError;
        }
        if (got != count) {
            traceF(log(), u"readData() read error: readsize differs from asked");
            return kStorageShortRead;
        }
    }
    return kStorageOk;
}

void CStorage::collectFreeList(std::vector<StorageArea>& list) const {
    m_freeStore.getFreeDataBlocks(list);
    if (m_pendingFree.empty()) return;
    list.insert(list.end(), m_pendingFree.begin(), m_pendingFree.end());
    std::sort(list.begin(), list.end(),
              [](const StorageArea& a, const StorageArea& b) { return a.start < b.start; });
    size_t out = 0;
    for (size_t i = 1; i < list.size(); ++i) {
        if (int64_t{list[i].start} <= int64_t{list[out].end} + 1) {
            list[out].end = std::max(list[out].end, list[i].end);
        } else {
            list[++out] = list[i];
        }
    }
    list.resize(out + 1);
}

int32_t CStorage::indexToFile() {
    // The index must never point at record bytes that a crash could still take away.
    if (flushBuffer() < 0) return kStorageWriteError;
    if (m_bDataUnflushed) {
        try {
            m_dataFile.flush();
        } catch (const plat::FileException&) {
            log().critic(
                format(u"indexToFile() error in flushing dataFile '%s'", m_dataFile.path()));
            return kStorageWriteError;
        }
        m_bDataUnflushed = false;
    }

    std::vector<StorageArea> freeList;
    collectFreeList(freeList);
    size_t size = kHeaderSize + freeList.size() * 8;
    for (const auto& [key, entry] : m_index) size += 12 + key.view().size() * 2;
    auto image = std::make_unique_for_overwrite<uint8_t[]>(size);
    uint8_t* p = image.get() + kHeaderSize;
    uint32_t keyCount = 0;
    for (const auto& [key, entry] : m_index) {
        if (entry.area.start == -1 || entry.area.end == -1) {
            log().high(u"indexToFile(): empty location");
            continue;
        }
        p = put32(p, static_cast<uint32_t>(key.view().size() * 2));
        p = putKey(p, key.view());
        p = put32(p, static_cast<uint32_t>(entry.area.start));
        p = put32(p, static_cast<uint32_t>(entry.area.end));
        ++keyCount;
    }
    for (const StorageArea& area : freeList) {
        p = put32(p, static_cast<uint32_t>(area.start));
        p = put32(p, static_cast<uint32_t>(area.end));
    }
    put32(image.get(), kIndexMagic);
    put32(image.get() + 4, keyCount);
    put32(image.get() + 8, static_cast<uint32_t>(freeList.size()));
    const size_t used = static_cast<size_t>(p - image.get());

    // Written beside the index file and renamed over it, so that a crash leaves either the
    // old index file or the new one, whole.
    const std::u16string tempName = m_strIndexFile + u".tmp";
    plat::File file;
    if (!file.tryOpen(tempName, plat::Access::Write, plat::Disposition::CreateAlways,
                      plat::Share::Exclusive)) {
        log().critic(format(u"indexToFile() error in opening idxFile '%s'", tempName));
        return kStorageOpenError;
    }
    try {
        file.writeAt(0, image.get(), used);
        file.flush();
        file.close();
    } catch (const plat::FileException&) {
        log().critic(format(u"indexToFile() error in writing/seeking idxFile '%s'", tempName));
        try {
            if (file.isOpen()) file.close();
        } catch (const plat::FileException&) {
        }
        plat::removeFile(tempName);
        return kStorageWriteError;
    }
    // From here on the file on disk may be the new index, even if the rename reports a
    // failure: every area written so far counts as referred to by it.
    ++m_nGeneration;
    if (plat::replaceFileDurably(tempName, m_strIndexFile) != 0) {
        log().critic(
            format(u"indexToFile() error in writing/seeking idxFile '%s'", m_strIndexFile));
        plat::removeFile(tempName);
        return kStorageWriteError;
    }
    // No index on disk refers to the pending areas any more.
    for (const StorageArea& area : m_pendingFree) m_freeStore.addFreeArea(area);
    m_pendingFree.clear();
    return kStorageOk;
}

int32_t CStorage::indexFromFile() {
    plat::File file;
    plat::FileException error(plat::kCauseNone, 0, m_strIndexFile);
    if (!file.tryOpen(m_strIndexFile, plat::Access::Read, plat::Disposition::OpenExisting,
                      plat::Share::DenyWrite, &error)) {
        if (plat::isNotFoundError(error.osError())) {
            // Records were written but no index was ever saved (a crash before the first
            // save): none of them was committed, so the store starts empty.
            log().high(format(u"indexFromFile() no idxFile '%s', starting empty", m_strIndexFile));
            return kStorageOk;
        }
        log().critic(format(u"indexFromFile() error in opening idxFile '%s'", m_strIndexFile));
        return kStorageOpenError;
    }
    // Held as code units so that keys can stay in it; the header and the numbers are read
    // byte by byte.
    std::unique_ptr<char16_t[]> image;
    size_t got = 0;
    try {
        const uint64_t length = file.length();
        if (length > std::numeric_limits<size_t>::max() / 4) throw std::bad_alloc();
        image = std::make_unique_for_overwrite<char16_t[]>(static_cast<size_t>(length + 1) / 2);
        got = file.readAt(0, image.get(), static_cast<size_t>(length));
        file.close();
    } catch (const plat::FileException&) {
        log().critic(format(u"indexFromFile() error:  catched fex with '%s'", m_strIndexFile));
        return kStorageIndexCheckFailed;
    } catch (const std::bad_alloc&) {
        log().critic(format(u"indexFromFile() error:  catched fex with '%s'", m_strIndexFile));
        return kStorageIndexCheckFailed;
    }
    return indexFromImage(std::move(image), got);
}

int32_t CStorage::indexFromImage(std::unique_ptr<char16_t[]> image, size_t size) {
    const auto* data = reinterpret_cast<const uint8_t*>(image.get());
    const char16_t* units = image.get();
    m_index.adoptImage(std::move(image));
    auto fail = [this](int32_t check) {
        log().critic(format(u"indexFromFile() error: not idxFile(#%d)'%s'", check, m_strIndexFile));
        return kStorageIndexCheckFailed;
    };
    if (size < kHeaderSize) return fail(1);
    if (get32(data) != kIndexMagic) return fail(2);
    const auto keyCount = static_cast<int32_t>(get32(data + 4));
    const auto freeCount = static_cast<int32_t>(get32(data + 8));
    if (keyCount < 0 || freeCount < 0) return fail(3);

    // The keys are gathered first and handed to the index in one go; entries read before a
    // failing check are kept.
    std::vector<storage_detail::StorageIndex::LoadItem> items;
    items.reserve(std::min<size_t>(static_cast<size_t>(keyCount), (size - kHeaderSize) / 12));
    std::vector<StorageArea> taken;  // the records' areas that hold bytes
    taken.reserve(items.capacity());
    size_t pos = kHeaderSize;
    auto readKeys = [&]() -> int32_t {
        const bool trace = traceOn(log());
        for (int32_t i = 0; i < keyCount; ++i) {
            if (size - pos < 4) return 4;
            const auto keyBytes = static_cast<int32_t>(get32(data + pos));
            pos += 4;
            // A key is made of whole UTF-16 code units; an odd length is no index of ours.
            if (keyBytes < 0 || keyBytes % 2 != 0) return 4;
            if (size - pos < static_cast<size_t>(keyBytes)) return 5;
            // pos is even here: the header and every entry have even lengths.
            const std::u16string_view key(units + pos / 2, static_cast<size_t>(keyBytes) / 2);
            pos += static_cast<size_t>(keyBytes);
            if (trace) log().trace(format(u"indexFromFile() found key '%s'", key));
            if (size - pos < 8) return 6;
            const StorageArea area{static_cast<int32_t>(get32(data + pos)),
                                   static_cast<int32_t>(get32(data + pos + 4))};
            pos += 8;
            // A record's size is a 32-bit number: {0, 2^31 - 1} is no record.
            if (area.start < 0 || area.end < 0 || area.size() < 0 ||
                area.size() > std::numeric_limits<int32_t>::max())
                return 6;
            if (!area.isEmpty()) {
                m_nDataEnd = std::max(m_nDataEnd, int64_t{area.end} + 1);
                taken.push_back(area);
            }
            items.push_back({key, Entry{area, 0}});
        }
        return 0;
    };
    int32_t failedCheck = readKeys();
    // Check #8: no byte belongs to two areas, records or free, else it could go to two
    // records. The first area that shares a byte with one before it in the file fails. A store
    // filled in key order lists its records' areas in start order already.
    if (!ascendingAndDisjoint(taken)) {
        std::sort(taken.begin(), taken.end(),
                  [](const StorageArea& a, const StorageArea& b) { return a.start < b.start; });
        if (!ascendingAndDisjoint(taken)) {
            items.resize(firstOverlapping(items));
            failedCheck = 8;
        }
    }
    m_index.load(items);
    if (failedCheck != 0) return fail(failedCheck);

    for (int32_t i = 0; i < freeCount; ++i) {
        if (size - pos < 8) return fail(7);
        const StorageArea area{static_cast<int32_t>(get32(data + pos)),
                               static_cast<int32_t>(get32(data + pos + 4))};
        pos += 8;
        if (area.start < 0 || area.end < 0 || area.size() < 0) return fail(7);
        if (area.isEmpty()) continue;  // nothing to reuse
        // The free store refuses only an area that overlaps a free one, after the checks above.
        if (overlapsAny(taken, area) || !m_freeStore.addFreeArea(area)) return fail(8);
        m_nDataEnd = std::max(m_nDataEnd, int64_t{area.end} + 1);
    }
    return kStorageOk;
}

}  // namespace vt
