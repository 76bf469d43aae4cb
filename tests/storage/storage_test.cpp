#include "storage/storage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/storage/index_file.h"
#include "tests/support/temp_dir.h"

namespace vt {
namespace {

using test::buildIndex;
using test::IndexImage;
using test::parseIndex;
using test::readFileBytes;
using test::writeFileBytes;
using Keys = std::vector<std::pair<std::u16string, StorageArea>>;
using Areas = std::vector<StorageArea>;

class StorageTest : public ::testing::Test {
  protected:
    std::u16string name() const { return dir_ / u"notesDB"; }
    std::u16string dix() const { return name() + u".dix"; }
    std::u16string dta() const { return name() + u".dta"; }

    int32_t put(CStorage& s, const std::u16string& key, const std::string& bytes) {
        return s.store(key, bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    std::string get(CStorage& s, const std::u16string& key) {
        std::vector<uint8_t> data;
        EXPECT_EQ(s.fetch(key, data), kStorageOk) << testing::PrintToString(key);
        return std::string(data.begin(), data.end());
    }
    IndexImage index() {
        auto bytes = readFileBytes(dix());
        EXPECT_TRUE(bytes.has_value());
        auto image = parseIndex(bytes.value_or(""));
        EXPECT_TRUE(image.has_value()) << "index file is not whole";
        return image.value_or(IndexImage{});
    }
    // A saved store with a{0, 9} and b{10, 14}.
    void makeTwoRecords(CStorage& s) {
        ASSERT_EQ(s.initialize(name()), kStorageCreated);
        ASSERT_EQ(put(s, u"a", "0123456789"), kStorageAdded);
        ASSERT_EQ(put(s, u"b", "abcde"), kStorageAdded);
        ASSERT_EQ(s.save(), kStorageOk);
    }

    test::TempDir dir_;
};

TEST_F(StorageTest, IndexFileFormatByteForByte) {
    CStorage s;
    makeTwoRecords(s);
    const std::string expected = std::string("\x13\xEE\xFF\xCA", 4) + std::string("\x02\0\0\0", 4) +
                                 std::string("\0\0\0\0", 4) +                           // K=2, F=0
                                 std::string("\x02\0\0\0a\0\0\0\0\0\x09\0\0\0", 14) +   // a{0,9}
                                 std::string("\x02\0\0\0b\0\x0A\0\0\0\x0E\0\0\0", 14);  // b{10,14}
    EXPECT_EQ(readFileBytes(dix()), expected);
    EXPECT_EQ(readFileBytes(dta()), "0123456789abcde");
    EXPECT_FALSE(readFileBytes(dix() + u".tmp").has_value());

    ASSERT_EQ(s.close(), kStorageOk);  // an open store shares its files with no other writer
    CStorage again;
    ASSERT_EQ(again.initialize(name()), kStorageOk);
    EXPECT_EQ(get(again, u"a"), "0123456789");
    EXPECT_EQ(get(again, u"b"), "abcde");
}

TEST_F(StorageTest, SaveWithoutChangeLeavesIndexFileUntouched) {
    {
        CStorage s;
        makeTwoRecords(s);
    }
    // Bytes after the last free area are ignored on reading, and an unchanged store keeps them.
    const std::string withTail = *readFileBytes(dix()) + "tail";
    writeFileBytes(dix(), withTail);
    CStorage s;
    ASSERT_EQ(s.initialize(name()), kStorageOk);
    EXPECT_EQ(s.save(), kStorageOk);
    EXPECT_EQ(s.close(), kStorageOk);
    EXPECT_EQ(readFileBytes(dix()), withTail);
}

// Space that the index file on disk still refers to is reused only after the next save.
TEST_F(StorageTest, ReplacementNeverOverwritesSavedRecord) {
    CStorage s;
    makeTwoRecords(s);
    EXPECT_EQ(put(s, u"a", "WXYZ"), kStorageReplaced);
    EXPECT_EQ(put(s, u"c", "0123456789"), kStorageAdded);
    ASSERT_EQ(s.save(), kStorageOk);
    EXPECT_EQ(index().keys, (Keys{{u"a", {15, 18}}, {u"b", {10, 14}}, {u"c", {19, 28}}}));
    EXPECT_EQ(index().freeAreas, (Areas{{0, 9}}));

    // Now {0, 9} is free: best fit takes its low end, and b's old area joins the rest at save.
    EXPECT_EQ(put(s, u"b", "1234"), kStorageReplaced);
    ASSERT_EQ(s.save(), kStorageOk);
    EXPECT_EQ(index().keys, (Keys{{u"a", {15, 18}}, {u"b", {0, 3}}, {u"c", {19, 28}}}));
    EXPECT_EQ(index().freeAreas, (Areas{{4, 14}}));
    EXPECT_EQ(get(s, u"a"), "WXYZ");
    EXPECT_EQ(get(s, u"b"), "1234");
}

TEST_F(StorageTest, SpaceOfUnsavedRecordIsReusedAtOnce) {
    CStorage s;
    makeTwoRecords(s);
    ASSERT_EQ(put(s, u"c", "0123456789"), kStorageAdded);  // {15, 24}, never saved
    ASSERT_EQ(s.remove(u"c"), kStorageOk);
    ASSERT_EQ(put(s, u"d", "01234"), kStorageAdded);
    ASSERT_EQ(s.save(), kStorageOk);
    EXPECT_EQ(index().keys, (Keys{{u"a", {0, 9}}, {u"b", {10, 14}}, {u"d", {15, 19}}}));
    EXPECT_EQ(index().freeAreas, (Areas{{20, 24}}));
}

TEST_F(StorageTest, FetchAndSizeResults) {
    CStorage s;
    makeTwoRecords(s);
    char buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    int32_t count = -7;
    EXPECT_EQ(s.fetch(u"a", buffer, 9, count), kStorageBufferTooSmall);
    EXPECT_EQ(count, -7);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(s.fetch(u"a", buffer, 10, count), kStorageOk);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(s.fetch(u"A", buffer, 16, count), kStorageNoSuchKey);
    int32_t size = 0;
    EXPECT_EQ(s.getDataSize(u"b", size), kStorageOk);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(s.getDataSize(u"x", size), kStorageNoSuchKey);
    EXPECT_EQ(size, -1);
}

TEST_F(StorageTest, KeysOrderByCodeUnit) {
    CStorage s;
    ASSERT_EQ(s.initialize(name()), kStorageCreated);
    for (const std::u16string key : {u"a", u"B", u"\xFFFF", u"\xD83D\xDE00", u"a\xE9", u""}) {
        ASSERT_EQ(put(s, key, "x"), kStorageAdded);
    }
    const std::vector<std::u16string> order = {u"",      u"B", u"a", u"a\xE9", u"\xD83D\xDE00",
                                               u"\xFFFF"};
    std::vector<std::u16string> keys = {u"kept"};
    s.getKeys(keys);
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"kept", u"", u"B", u"a", u"a\xE9",
                                                 u"\xD83D\xDE00", u"\xFFFF"}));
    ASSERT_EQ(s.save(), kStorageOk);
    std::vector<std::u16string> onDisk;
    for (const auto& kv : index().keys) onDisk.push_back(kv.first);
    EXPECT_EQ(onDisk, order);
}

TEST_F(StorageTest, DamagedIndexFilesFailTheirCheck) {
    struct Case {
        const char* what;
        std::string bytes;
        size_t keysKept;
    };
    IndexImage one;
    one.keys = {{u"a", {0, 1}}};
    IndexImage two = one;
    two.keys.push_back({u"b", {2, 3}});
    std::string truncated = buildIndex(two);
    truncated.resize(truncated.size() - 14);  // ends after the first entry
    std::string odd = buildIndex(one);
    odd[12] = 3;
    IndexImage backwards = one;
    backwards.keys[0].second = {5, 3};
    IndexImage huge = one;
    huge.keys[0].second = {0, 0x7FFFFFFF};  // 2^31 bytes: no 32-bit size
    IndexImage overlapping = one;
    overlapping.freeAreas = {{2, 5}, {4, 8}};
    IndexImage negative = one;
    negative.freeAreas = {{-1, 3}};
    // Areas that share a byte, even only one, could hand the same byte to two records.
    IndexImage sharedByRecords = one;
    sharedByRecords.keys = {{u"a", {6, 9}}, {u"b", {0, 4}}, {u"c", {4, 5}}};
    IndexImage recordInFreeArea = two;
    recordInFreeArea.freeAreas = {{3, 5}};
    IndexImage freeOnLastFreeByte = one;
    freeOnLastFreeByte.freeAreas = {{2, 5}, {5, 8}};
    std::string badMagic = buildIndex(one);
    badMagic[0] = 0x12;
    const Case cases[] = {
        {"short header", std::string("\x13\xEE\xFF\xCA\0\0", 6), 0},
        {"magic", badMagic, 0},
        {"count", buildIndex(IndexImage{0xCAFFEE13u, {}, {}}).replace(4, 4, "\xFF\xFF\xFF\xFF"), 0},
        {"K=2, one entry", truncated, 1},
        {"odd key length", odd, 0},
        {"end before start", buildIndex(backwards), 0},
        {"record of 2^31 bytes", buildIndex(huge), 0},
        {"overlapping free areas", buildIndex(overlapping), 1},
        {"negative free area", buildIndex(negative), 1},
        {"records sharing a byte", buildIndex(sharedByRecords), 2},
        {"record in a free area", buildIndex(recordInFreeArea), 2},
        {"free area on another's last byte", buildIndex(freeOnLastFreeByte), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFileBytes(dta(), "0123456789");
        writeFileBytes(dix(), c.bytes);
        CStorage s;
        EXPECT_EQ(s.initialize(name()), kStorageOpenError);
        std::vector<std::u16string> keys;
        s.getKeys(keys);
        EXPECT_EQ(keys.size(), c.keysKept);
        // The store stays open and usable on what it read, and saves an index that opens.
        EXPECT_EQ(put(s, u"new", "xyz"), kStorageAdded);
        EXPECT_EQ(get(s, u"new"), "xyz");
        ASSERT_EQ(s.close(), kStorageOk);
        EXPECT_EQ(s.initialize(name()), kStorageOk);
    }
}

TEST_F(StorageTest, NewDataFileIgnoresAndReplacesAnOldIndexFile) {
    IndexImage stale;
    stale.keys = {{u"old", {0, 3}}};
    writeFileBytes(dix(), buildIndex(stale));
    {
        CStorage s;
        ASSERT_EQ(s.initialize(name()), kStorageCreated);
        std::vector<std::u16string> keys;
        s.getKeys(keys);
        EXPECT_THAT(keys, testing::IsEmpty());
        // Records written now and lost in a crash must not come back under the old index.
        ASSERT_EQ(put(s, u"new", "abcd"), kStorageAdded);
        EXPECT_THAT(index().keys, testing::IsEmpty());
    }
    CStorage s;
    EXPECT_EQ(s.initialize(name()), kStorageOk);
    EXPECT_EQ(get(s, u"new"), "abcd");
}

// A data file emptied behind the store's back (truncated, restored) makes its index file
// stale too; a crash before the next save must not bring the old keys back over new data.
TEST_F(StorageTest, EmptiedDataFileReplacesItsStaleIndexFile) {
    {
        CStorage s;
        makeTwoRecords(s);
    }
    writeFileBytes(dta(), "");
    CStorage s(0);  // no write buffer: the record reaches the data file at once
    ASSERT_EQ(s.initialize(name()), kStorageCreated);
    ASSERT_EQ(put(s, u"new", "abcd"), kStorageAdded);
    // A crash now leaves the files as they are.
    const std::u16string crashed = dir_ / u"crashed";
    writeFileBytes(crashed + u".dta", readFileBytes(dta()).value_or(""));
    writeFileBytes(crashed + u".dix", readFileBytes(dix()).value_or(""));
    CStorage after;
    EXPECT_EQ(after.initialize(crashed), kStorageOk);
    std::vector<std::u16string> keys;
    after.getKeys(keys);
    EXPECT_THAT(keys, testing::IsEmpty());
}

TEST_F(StorageTest, DataWithoutIndexFileOpensEmpty) {
    writeFileBytes(dta(), "bytes of records never indexed");
    CStorage s;
    EXPECT_EQ(s.initialize(name()), kStorageOk);
    ASSERT_EQ(put(s, u"k", "v"), kStorageAdded);
    ASSERT_EQ(s.save(), kStorageOk);
    EXPECT_EQ(index().keys, (Keys{{u"k", {30, 30}}}));
}

TEST_F(StorageTest, EmptyRecordsRoundTripWithoutTouchingFreeSpace) {
    {
        CStorage s;
        ASSERT_EQ(s.initialize(name()), kStorageCreated);
        ASSERT_EQ(s.store(u"e", nullptr, 0), kStorageAdded);
        ASSERT_EQ(s.store(u"f", "", 0), kStorageAdded);
        ASSERT_EQ(s.close(), kStorageOk);
    }
    EXPECT_EQ(index().keys, (Keys{{u"e", {1, 0}}, {u"f", {1, 0}}}));
    EXPECT_EQ(readFileBytes(dta()), "");
    CStorage s;
    ASSERT_EQ(s.initialize(name()), kStorageCreated);  // the data file is still empty
    int32_t size = -1;
    EXPECT_EQ(s.getDataSize(u"e", size), kStorageOk);
    EXPECT_EQ(size, 0);
    char c = 'x';
    int32_t count = -1;
    EXPECT_EQ(s.fetch(u"f", &c, 0, count), kStorageOk);
    EXPECT_EQ(count, 0);

    ASSERT_EQ(put(s, u"g", "1234"), kStorageAdded);
    ASSERT_EQ(put(s, u"g", ""), kStorageReplaced);
    ASSERT_EQ(s.remove(u"e"), kStorageOk);
    ASSERT_EQ(s.save(), kStorageOk);
    EXPECT_EQ(index().keys, (Keys{{u"f", {1, 0}}, {u"g", {1, 0}}}));
    EXPECT_EQ(index().freeAreas, (Areas{{0, 3}}));
    // {1, 0} lies within {0, 3} by its offsets, but holds no byte of it.
    ASSERT_EQ(s.close(), kStorageOk);
    EXPECT_EQ(s.initialize(name()), kStorageOk);
    EXPECT_EQ(s.getDataSize(u"g", size), kStorageOk);
}

TEST_F(StorageTest, StoreThatWouldPassTheOffsetLimitIsRefused) {
    {
        CStorage s;
        makeTwoRecords(s);
    }
    {
        plat::File f;
        f.open(dta(), plat::Access::ReadWrite, plat::Disposition::OpenExisting,
               plat::Share::DenyNone);
        f.setLength(0x7FFFFFFFu - 10);  // sparse
    }
    CStorage s;
    ASSERT_EQ(s.initialize(name()), kStorageOk);
    EXPECT_EQ(put(s, u"c", "0123456789"), kStorageAdded);  // the file is now 2^31 - 1 long
    EXPECT_EQ(put(s, u"d", "0"), kStorageFull);
    EXPECT_EQ(put(s, u"a", "0123456789A"), kStorageFull);
    EXPECT_EQ(get(s, u"a"), "0123456789");
    EXPECT_EQ(s.store(u"a", "x", -1), kStorageBadArgument);
    // c waits in the write buffer; reserving its space leaves the file's length alone.
    plat::FileStatus status;
    ASSERT_TRUE(plat::getFileStatus(dta(), &status));
    EXPECT_EQ(status.size, 0x7FFFFFFFu - 10);
    ASSERT_EQ(s.save(), kStorageOk);
    ASSERT_TRUE(plat::getFileStatus(dta(), &status));
    EXPECT_EQ(status.size, 0x7FFFFFFFu);
    EXPECT_EQ(index().keys,
              (Keys{{u"a", {0, 9}}, {u"b", {10, 14}}, {u"c", {0x7FFFFFF5, 0x7FFFFFFE}}}));
}

// Random stores and removals against a model; checks lookups, key order and the saved index.
TEST_F(StorageTest, RandomOperationsMatchAModel) {
    std::mt19937 rng(5);
    std::map<std::u16string, std::string> model;
    CStorage s;
    ASSERT_EQ(s.initialize(name()), kStorageCreated);
    for (int i = 0; i < 4000; ++i) {
        const std::u16string key =
            u"k" + std::u16string(1, u'0' + rng() % 40) + std::u16string(1, u'A' + rng() % 10);
        if (rng() % 3 == 0) {
            EXPECT_EQ(s.remove(key), model.erase(key) ? kStorageOk : kStorageNoSuchKey);
        } else {
            const std::string data(rng() % 50, static_cast<char>('a' + i % 26));
            EXPECT_EQ(put(s, key, data), model.count(key) ? kStorageReplaced : kStorageAdded);
            model[key] = data;
        }
        if (i % 500 == 499) {
            ASSERT_EQ(s.save(), kStorageOk);
        }
    }
    for (int round = 0; round < 2; ++round) {
        std::vector<std::u16string> keys;
        s.getKeys(keys);
        ASSERT_EQ(keys.size(), model.size());
        auto m = model.begin();
        for (const auto& key : keys) {
            EXPECT_EQ(key, m->first);
            EXPECT_EQ(get(s, key), (m++)->second);
        }
        ASSERT_EQ(s.close(), kStorageOk);
        ASSERT_EQ(s.initialize(name()), kStorageOk);
    }
}

// The write buffer changes when bytes reach the disk, never which bytes or where: the same
// operations give the same data and index files with any buffer size, and the same fetches
// before a save. The small buffers make records go to it, around it (too large) and into
// its middle (space freed inside it, also merged with free space before it).
TEST_F(StorageTest, WriteBufferLeavesTheFilesAsWithoutIt) {
    struct Run {
        std::unique_ptr<CStorage> store;
        test::TempDir dir;
        std::u16string name() const { return dir / u"notesDB"; }
    };
    const size_t sizes[] = {0, 40, 100, CStorage::kDefaultWriteBufferBytes};
    std::vector<Run> runs(std::size(sizes));
    for (size_t r = 0; r < runs.size(); ++r) {
        runs[r].store = std::make_unique<CStorage>(sizes[r]);
        ASSERT_EQ(runs[r].store->initialize(runs[r].name()), kStorageCreated);
    }
    std::mt19937 rng(11);
    for (int i = 0; i < 1500; ++i) {
        const std::u16string key = u"k" + std::u16string(1, u'a' + rng() % 20);
        const int op = static_cast<int>(rng() % 10);
        const std::string data(rng() % 4 == 0 ? 0 : 1 + rng() % 30,
                               static_cast<char>('a' + i % 26));
        std::vector<int32_t> results;
        std::vector<std::string> fetched;
        for (Run& run : runs) {
            CStorage& s = *run.store;
            if (i % 50 == 49) {
                results.push_back(s.save());
            } else if (op < 2) {
                results.push_back(s.remove(key));
            } else if (op < 8) {
                results.push_back(put(s, key, data));
            } else {
                std::vector<uint8_t> bytes;
                results.push_back(s.fetch(key, bytes));
                fetched.emplace_back(bytes.begin(), bytes.end());
            }
        }
        for (size_t r = 1; r < runs.size(); ++r) {
            ASSERT_EQ(results[r], results[0]) << "operation " << i << ", buffer " << sizes[r];
            if (!fetched.empty()) {
                EXPECT_EQ(fetched[r], fetched[0]);
            }
        }
    }
    for (Run& run : runs) ASSERT_EQ(run.store->close(), kStorageOk);
    const auto dta0 = readFileBytes(runs[0].name() + u".dta");
    const auto dix0 = readFileBytes(runs[0].name() + u".dix");
    ASSERT_TRUE(dta0 && dix0);
    EXPECT_GT(parseIndex(*dix0)->freeAreas.size(), 0u);
    for (size_t r = 1; r < runs.size(); ++r) {
        EXPECT_EQ(readFileBytes(runs[r].name() + u".dta"), dta0) << "buffer " << sizes[r];
        EXPECT_EQ(readFileBytes(runs[r].name() + u".dix"), dix0) << "buffer " << sizes[r];
    }
}

// A free area can run from before the write buffer into it (freed records on either side of
// its start): a record given that area is written and read in two parts.
TEST_F(StorageTest, RecordAcrossTheWriteBufferStart) {
    CStorage s(40);
    ASSERT_EQ(s.initialize(name()), kStorageCreated);
    for (const char16_t* key : {u"a", u"b", u"c", u"d"})
        ASSERT_EQ(put(s, key, "0123456789"), kStorageAdded);  // one full buffer
    ASSERT_EQ(put(s, u"e", "abcdefghij"), kStorageAdded);     // {40, 49}: a new buffer
    ASSERT_EQ(s.remove(u"d"), kStorageOk);
    ASSERT_EQ(s.remove(u"e"), kStorageOk);
    const std::string twenty = "ABCDEFGHIJKLMNOPQRST";
    ASSERT_EQ(put(s, u"f", twenty), kStorageAdded);  // {30, 49}
    EXPECT_EQ(get(s, u"f"), twenty);
    ASSERT_EQ(put(s, u"g", "0123456789"), kStorageAdded);  // {50, 59}, in the buffer
    ASSERT_EQ(s.save(), kStorageOk);
    EXPECT_EQ(index().keys, (Keys{{u"a", {0, 9}},
                                  {u"b", {10, 19}},
                                  {u"c", {20, 29}},
                                  {u"f", {30, 49}},
                                  {u"g", {50, 59}}}));
    EXPECT_EQ(readFileBytes(dta()), "012345678901234567890123456789" + twenty + "0123456789");
}

TEST_F(StorageTest, CloseWritesChangesAndDestructorCloses) {
    {
        CStorage s;
        makeTwoRecords(s);
        ASSERT_EQ(s.remove(u"a"), kStorageOk);
    }  // the destructor closes, and close saves
    EXPECT_EQ(index().keys, (Keys{{u"b", {10, 14}}}));
    CStorage s;
    ASSERT_EQ(s.initialize(name()), kStorageOk);
    ASSERT_EQ(s.close(), kStorageOk);
    EXPECT_FALSE(s.isOpen());
    EXPECT_EQ(put(s, u"x", "y"), kStorageOpenError);
    EXPECT_EQ(s.initialize(name()), kStorageOk);
    EXPECT_EQ(get(s, u"b"), "abcde");
}

}  // namespace
}  // namespace vt
