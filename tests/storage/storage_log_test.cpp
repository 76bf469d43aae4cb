// The storage classes' log lines: module names, levels and texts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"
#include "storage/free_store.h"
#include "storage/storage.h"
#include "tests/storage/index_file.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "util/logger.h"

namespace vt {
namespace {

using testing::HasSubstr;

class StorageLogTest : public test::SandboxedTest {
  protected:
    std::string log() {
        Logger::shutdown();  // flushes the file
        return capture_.text();
    }
    test::LogCapture capture_;
    test::TempDir dir_;
};

TEST_F(StorageLogTest, StoreLines) {
    const std::u16string name = dir_ / u"db";
    {
        CStorage s;
        ASSERT_EQ(s.initialize(name), kStorageCreated);
        EXPECT_EQ(s.save(), kStorageOk);
        ASSERT_EQ(s.store(u"key", "abc", 3), kStorageAdded);
        char buffer[2];
        int32_t count = 0;
        EXPECT_EQ(s.fetch(u"key", buffer, 2, count), kStorageBufferTooSmall);
        EXPECT_EQ(s.fetch(u"none", buffer, 2, count), kStorageNoSuchKey);
        EXPECT_EQ(s.remove(u"none"), kStorageNoSuchKey);
    }
    test::writeFileBytes(name + u".dix", "not an index");
    CStorage s;
    EXPECT_EQ(s.initialize(name), kStorageOpenError);
    test::IndexImage overlapping;
    overlapping.keys = {{u"a", {0, 1}}, {u"b", {1, 2}}};
    test::writeFileBytes(name + u".dix", test::buildIndex(overlapping));
    EXPECT_EQ(s.initialize(name), kStorageOpenError);
    const std::string text = log();
    EXPECT_THAT(text,
                HasSubstr("(genut)CStorage          ::    save(), indexFile up to date already"));
    EXPECT_THAT(text, HasSubstr("::    getNewLocation( byteCount = 3)"));
    EXPECT_THAT(text, HasSubstr("::    store (key, ...), adding succeeded"));
    EXPECT_THAT(text, HasSubstr("::!!  fetch(key, ...) Not enough space for data"));
    EXPECT_THAT(text, HasSubstr("::!!  fetch(none, ...) No such key"));
    EXPECT_THAT(text, HasSubstr("::    remove(none)"));
    EXPECT_THAT(text, HasSubstr("::!!  remove(none) No such key"));
    EXPECT_THAT(
        text, HasSubstr("::!!! indexFromFile() error: not idxFile(#2)'" + toUtf8(name) + ".dix'"));
    EXPECT_THAT(
        text, HasSubstr("::!!! indexFromFile() error: not idxFile(#8)'" + toUtf8(name) + ".dix'"));
}

TEST_F(StorageLogTest, FreeStoreLines) {
    {
        CStorageFreeStore store;
        store.addFreeArea({0, 9});
        store.addFreeArea({20, 29});
        store.addFreeArea({10, 19});
        StorageArea area;
        store.getFreeArea(5, area);
    }
    const std::string text = log();
    const char* expected[] = {
        "(genut)CStorageFrSt.     ::    addFreeArea(): hitted someone's start address",
        "(genut)CStorageFrSt.     ::    addFreeArea():hitted someone's end address",
        "(genut)CStorageFrSt.     ::    addFreeArea():erasing by size",
        "(genut)DataBlockHolder   ::    append(10, 19)",
        "(genut)DataBlockHolder   ::    merge()",
        "(genut)DataBlockHolder   ::    ~CDataBlockHolder()",
        "(genut)CStorageFrSt.     ::    getFreeArea(): rest of area to free",
        "(genut)DataBlockHolder   ::    getArea(5)",
        "(genut)DataBlockHolder   ::    ~CDataBlockHolder(5, 29)",
        "(genut)CStorageFrSt.     ::    ~CStorageFreeStore()",
    };
    for (const char* line : expected) EXPECT_THAT(text, HasSubstr(line));
}

}  // namespace
}  // namespace vt
