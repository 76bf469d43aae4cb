// The keyed record store: byte records under string keys in two files, a data file
// (name + ".dta") with the raw record bytes and an index file (name + ".dix") that maps each
// key to the byte range of its record and lists the free ranges of the data file. The index
// lives in memory while the store is open and is written only by save() and close().
//
// Crash safety: the index file is replaced atomically (written to name + ".dix.tmp", flushed,
// renamed over the old one) after the data file has been flushed; bytes that the index file
// on disk still refers to are never overwritten. After a crash the store reopens in the state
// of its last successful save() or close(). See docs/storage.md.
//
// Small records appended to the data file are gathered in a write buffer and written in one
// go when it fills, and at save() and close(); disk space for a buffer's worth is reserved
// when it starts, so that a full disk still fails the store() that needs the space. A failed
// write of the buffer itself is reported by the next save() or close(), which try it again;
// until then the buffered records stay readable, and none is lost while the store is open.
//
// Results are the codes of storage/storage_codes.h; nothing throws to the caller.
// Thread safety: every operation holds the store's critical section, so one store may be
// used from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "storage/free_store.h"
#include "storage/storage_area.h"
#include "storage/storage_codes.h"
#include "storage/storage_index.h"
#include "util/sync.h"

namespace vt {

class CStorage {
  public:
    // The size of the write buffer for appended records that CStorage() uses.
    static constexpr size_t kDefaultWriteBufferBytes = 256 * 1024;

    CStorage();
    // writeBufferBytes: the write buffer's size; 0 writes every record at once. Records larger
    // than a quarter of it are always written at once.
    explicit CStorage(size_t writeBufferBytes);
    // Closes an open store; if writing the index fails, the changes since the last save are
    // dropped all the same.
    virtual ~CStorage();
    CStorage(const CStorage&) = delete;
    CStorage& operator=(const CStorage&) = delete;

    // Opens the store name + ".dta" / name + ".dix", creating the data file when missing.
    // 0: opened an existing store; 1: the data file was new or empty; -2134: the data file
    // did not open (the store stays closed) or the index file was unusable (the store is open
    // with whatever the index file gave before the failure). An open store is closed first.
    // Beside a new or empty data file the store starts empty, and an index file there is
    // replaced by an empty one at once, unless the data file is empty (not new) and the index
    // file holds nothing but records of length 0, which the store then keeps.
    int32_t initialize(const std::u16string& name);
    // Adds (1) or replaces (2) the record under key with byteCount bytes from data. On a
    // failure the previous record, if any, is unchanged.
    int32_t store(const std::u16string& key, const void* data, int32_t byteCount);
    // Copies the record into buffer (bufferSize bytes) and sets byteCount, only on success.
    int32_t fetch(const std::u16string& key, void* buffer, int32_t bufferSize, int32_t& byteCount);
    // Replaces data's contents with the record.
    int32_t fetch(const std::u16string& key, std::vector<uint8_t>& data);
    // Sets size to the record's byte count; -1 and -34654 for a missing key.
    int32_t getDataSize(const std::u16string& key, int32_t& size);
    // Drops the key; its space becomes reusable once an index without it has been saved.
    int32_t remove(const std::u16string& key);
    // Appends every key in ascending order (UTF-16 code unit by code unit).
    int32_t getKeys(std::vector<std::u16string>& keys);
    // Writes the write buffer and then the index file if anything changed since the last save.
    // On a failure the buffered records stay in memory and the next save() tries again.
    int32_t save();
    // save(), then forgets everything and closes the data file. On a failed save nothing is
    // closed and its code is returned.
    int32_t close();

    bool isOpen();

  private:
    using Entry = storage_detail::IndexEntry;

    int32_t closeLocked();
    void dropAll();
    // Finds room for n > 0 bytes: free space best fit, else the end of the data file.
    // fromFree tells which; false when the file would pass the limit of 32-bit offsets.
    bool getNewLocation(int32_t n, StorageArea& area, bool& fromFree);
    // Gives a record's old area back: reusable at once if no saved index refers to it,
    // otherwise after the next successful save.
    void freeStorage(const Entry& entry);
    // The part [inStart, inEnd) of the byte range [start, end) that lies in the write buffer;
    // inStart and inEnd are left alone when it is empty.
    void bufferOverlap(int64_t start, int64_t end, int64_t& inStart, int64_t& inEnd) const;
    // Writes a record's bytes; the part of area inside the write buffer goes into the buffer.
    int32_t writeData(const StorageArea& area, const void* data);
    // Puts a record appended at the end of the data file into the write buffer, writing out
    // the buffer's earlier contents and starting a new one when needed. False when the record
    // must be written at once instead (too large, no space reserved, buffer not written).
    bool appendToBuffer(const StorageArea& area, const void* data);
    // Writes the write buffer's contents to the data file; on a failure they stay buffered.
    int32_t flushBuffer();
    // Reads a record's bytes, those inside the write buffer from the buffer.
    int32_t readData(const StorageArea& area, void* buffer);
    // Gives back the space reserved beyond the data file's end (best effort).
    void releaseReservation();
    int32_t indexToFile();
    int32_t indexFromFile();
    // Reads the index file's image; keys stay in it, so the index takes it over.
    int32_t indexFromImage(std::unique_ptr<char16_t[]> image, size_t size);
    // The free list as the index file must carry it: the free areas and the pending ones.
    void collectFreeList(std::vector<StorageArea>& list) const;

    CritSec m_cs;
    storage_detail::StorageIndex m_index;
    std::u16string m_strIndexFile;  // empty while closed
    plat::File m_dataFile;
    bool m_bChanged = false;
    CStorageFreeStore m_freeStore;
    // Areas freed since the last save that the index file on disk still refers to.
    std::vector<StorageArea> m_pendingFree;
    // One past the highest byte in use or free; new space starts here.
    int64_t m_nDataEnd = 0;
    // Bumped whenever an index file may have replaced the one on disk.
    uint64_t m_nGeneration = 1;
    // Data was written since the data file was last flushed.
    bool m_bDataUnflushed = false;

    // The write buffer: bytes [m_nBufferStart, m_nBufferStart + m_nBufferUsed) of the data
    // file, not yet written. Non-empty only while m_bChanged is set.
    size_t m_nBufferCapacity;
    std::unique_ptr<uint8_t[]> m_pBuffer;  // allocated with the first buffered record
    int64_t m_nBufferStart = 0;
    size_t m_nBufferUsed = 0;
    // Writing the buffer failed; only save() and close() try again.
    bool m_bBufferStuck = false;
    // Space up to this offset of the data file has been reserved (0: none).
    int64_t m_nReservedEnd = 0;
};

}  // namespace vt
