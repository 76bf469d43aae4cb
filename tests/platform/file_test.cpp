// Contract tests of platform/file.h; written against the portable API so that every backend
// runs them unchanged.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "platform/find.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/time.h"
#include "tests/support/temp_dir.h"

namespace vt::plat {
namespace {

namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
  protected:
    std::u16string pathOf(const std::u16string& name) { return dir_ / name; }

    // Moves a file's last-write time into the past.
    void ageFile(const std::u16string& path, std::chrono::hours by) {
        fs::path p(path);
        fs::last_write_time(p, fs::last_write_time(p) - by);
    }

    test::TempDir dir_;
};

// The other process of the sharing test is this test program started again to run only
// DISABLED_HoldExclusiveUntilReleased, which learns its file from VANTREL_TEST_HOLD. Files
// next to the held one say "holding" and "release".
constexpr char kHoldVariable[] = "VANTREL_TEST_HOLD";

bool waitForFile(const std::u16string& path) {
    for (int i = 0; i < 3000; ++i) {
        if (test::readFileBytes(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(FileTest, ExclusiveOpenRefusesAnotherFileInTheSameProcess) {
    File holder;
    holder.open(pathOf(u"a.dat"), Access::ReadWrite, Disposition::CreateNew, Share::Exclusive);

    File other;
    FileException e(kCauseNone, 0, {});
    ASSERT_FALSE(other.tryOpen(pathOf(u"a.dat"), Access::Read, Disposition::OpenExisting,
                               Share::DenyNone, &e));
    EXPECT_EQ(e.cause(), kCauseSharingViolation);
    EXPECT_TRUE(isSharingViolation(e.osError()));
    EXPECT_EQ(e.fileName(), pathOf(u"a.dat"));
    EXPECT_THROW(
        other.open(pathOf(u"a.dat"), Access::Read, Disposition::OpenExisting, Share::Exclusive),
        FileException);

    holder.close();
    EXPECT_TRUE(
        other.tryOpen(pathOf(u"a.dat"), Access::Read, Disposition::OpenExisting, Share::Exclusive));
}

TEST_F(FileTest, ReadersThatDenyWritingShareTheFile) {
    test::writeFileBytes(pathOf(u"a.dat"), "x");
    File a, b;
    a.open(pathOf(u"a.dat"), Access::Read, Disposition::OpenExisting, Share::DenyWrite);
    EXPECT_TRUE(
        b.tryOpen(pathOf(u"a.dat"), Access::Read, Disposition::OpenExisting, Share::DenyWrite));
    File c;
    EXPECT_FALSE(
        c.tryOpen(pathOf(u"a.dat"), Access::Read, Disposition::OpenExisting, Share::Exclusive));
}

TEST_F(FileTest, DISABLED_HoldExclusiveUntilReleased) {
    std::optional<std::u16string> path = getEnv(kHoldVariable);
    if (!path) GTEST_SKIP() << "runs only as the other process of a sharing test";
    File f;
    f.open(*path, Access::ReadWrite, Disposition::OpenExisting, Share::Exclusive);
    test::writeFileBytes(*path + u".holding", "");
    EXPECT_TRUE(waitForFile(*path + u".release"));
}

TEST_F(FileTest, ExclusiveOpenRefusesAnotherProcess) {
    std::u16string path = pathOf(u"held.dat");
    test::writeFileBytes(path, "x");
    setEnv(kHoldVariable, path);
    std::string command = "\"" + toUtf8(hostExecutablePath()) +
                          "\" --gtest_also_run_disabled_tests"
                          " --gtest_filter=FileTest.DISABLED_HoldExclusiveUntilReleased";
    std::future<int> child =
        std::async(std::launch::async, [command] { return std::system(command.c_str()); });
    bool holding = waitForFile(path + u".holding");
    setEnv(kHoldVariable, std::nullopt);

    File f;
    FileException e(kCauseNone, 0, {});
    bool opened = f.tryOpen(path, Access::Read, Disposition::OpenExisting, Share::DenyNone, &e);
    test::writeFileBytes(path + u".release", "");
    EXPECT_EQ(child.get(), 0);
    ASSERT_TRUE(holding);
    EXPECT_FALSE(opened);
    EXPECT_EQ(e.cause(), kCauseSharingViolation);
    EXPECT_TRUE(isSharingViolation(e.osError()));
    // The lock ends with the process that held it.
    EXPECT_TRUE(f.tryOpen(path, Access::Read, Disposition::OpenExisting, Share::Exclusive));
}

TEST_F(FileTest, PositionedAndSequentialAccess) {
    File f;
    f.open(pathOf(u"a.dat"), Access::ReadWrite, Disposition::CreateAlways, Share::Exclusive);
    f.writeAt(0, "hello world", 11);
    f.writeAt(6, "there", 5);
    f.writeAt(20, "!", 1);  // leaves a gap of zero bytes
    EXPECT_EQ(f.length(), 21u);

    char buf[32] = {};
    ASSERT_EQ(f.readAt(0, buf, 11), 11u);
    EXPECT_EQ(std::string(buf, 11), "hello there");
    ASSERT_EQ(f.readAt(11, buf, 10), 10u);
    EXPECT_EQ(std::string(buf, 10), std::string(9, '\0') + "!");

    // Reading at or past the end gives fewer bytes or none, never an error.
    EXPECT_EQ(f.readAt(18, buf, 10), 3u);
    EXPECT_EQ(f.readAt(21, buf, 10), 0u);
    EXPECT_EQ(f.readAt(1000, buf, 10), 0u);

    f.seek(6);
    ASSERT_EQ(f.read(buf, 5), 5u);
    EXPECT_EQ(std::string(buf, 5), "there");
    f.write("X", 1);  // continues where the read stopped
    f.setLength(12);
    f.flush();
    f.close();
    EXPECT_EQ(test::readFileBytes(pathOf(u"a.dat")), "hello thereX");
}

TEST_F(FileTest, DispositionsAndMissingFiles) {
    test::writeFileBytes(pathOf(u"a.dat"), "old content");
    File f;
    FileException e(kCauseNone, 0, {});
    EXPECT_FALSE(
        f.tryOpen(pathOf(u"a.dat"), Access::Write, Disposition::CreateNew, Share::Exclusive, &e));
    f.open(pathOf(u"a.dat"), Access::ReadWrite, Disposition::OpenAlways, Share::Exclusive);
    EXPECT_EQ(f.length(), 11u);
    f.open(pathOf(u"a.dat"), Access::Write, Disposition::CreateAlways, Share::Exclusive);
    EXPECT_EQ(f.length(), 0u);
    f.close();

    ASSERT_FALSE(f.tryOpen(pathOf(u"missing.dat"), Access::Read, Disposition::OpenExisting,
                           Share::DenyNone, &e));
    EXPECT_EQ(e.cause(), kCauseFileNotFound);
    EXPECT_TRUE(isNotFoundError(e.osError()));
    EXPECT_FALSE(f.isOpen());
    char c;
    try {
        f.read(&c, 1);
        FAIL() << "read on a closed file";
    } catch (const FileException& closed) {
        EXPECT_EQ(closed.cause(), kCauseInvalidFile);
    }
}

TEST_F(FileTest, OpeningAFolderFailsCleanly) {
    ASSERT_EQ(createDirectory(pathOf(u"sub")), 0);
    for (Access access : {Access::Read, Access::ReadWrite}) {
        File f;
        FileException e(kCauseNone, 0, {});
        EXPECT_FALSE(
            f.tryOpen(pathOf(u"sub"), access, Disposition::OpenExisting, Share::DenyNone, &e));
        EXPECT_EQ(e.cause(), kCauseAccessDenied);
        EXPECT_FALSE(f.isOpen());
    }
}

TEST_F(FileTest, StatusHasWholeSecondTimes) {
    int64_t before = currentTime();
    test::writeFileBytes(pathOf(u"a.dat"), "12345");
    int64_t after = currentTime();

    FileStatus byPath;
    ASSERT_TRUE(getFileStatus(pathOf(u"a.dat"), &byPath));
    EXPECT_FALSE(byPath.isDirectory);
    EXPECT_EQ(byPath.size, 5u);
    EXPECT_GE(byPath.lastWriteTime, before - 1);
    EXPECT_LE(byPath.lastWriteTime, after + 1);
    EXPECT_EQ(byPath.attributes & (kAttrDirectory | kAttrReadOnly), 0u);

    File f;
    f.open(pathOf(u"a.dat"), Access::Read, Disposition::OpenExisting, Share::DenyWrite);
    FileStatus byFile = f.status();
    EXPECT_EQ(byFile.lastWriteTime, byPath.lastWriteTime);
    EXPECT_EQ(byFile.size, byPath.size);

    FileStatus missing;
    EXPECT_FALSE(getFileStatus(pathOf(u"missing"), &missing));
}

TEST_F(FileTest, CopyKeepsTheTimeAndRefusesToOverwriteWhenAsked) {
    test::writeFileBytes(pathOf(u"src.txt"), "source");
    ageFile(pathOf(u"src.txt"), std::chrono::hours(72));
    test::writeFileBytes(pathOf(u"dst.txt"), "target");

    EXPECT_NE(copyFile(pathOf(u"src.txt"), pathOf(u"dst.txt"), true), 0);
    EXPECT_EQ(test::readFileBytes(pathOf(u"dst.txt")), "target");

    ASSERT_EQ(copyFile(pathOf(u"src.txt"), pathOf(u"new.txt"), true), 0);
    ASSERT_EQ(copyFile(pathOf(u"src.txt"), pathOf(u"dst.txt"), false), 0);
    EXPECT_EQ(test::readFileBytes(pathOf(u"dst.txt")), "source");
    EXPECT_EQ(test::readFileBytes(pathOf(u"new.txt")), "source");

    FileStatus src, dst;
    ASSERT_TRUE(getFileStatus(pathOf(u"src.txt"), &src));
    ASSERT_TRUE(getFileStatus(pathOf(u"dst.txt"), &dst));
    EXPECT_EQ(dst.lastWriteTime, src.lastWriteTime);
    EXPECT_LT(dst.lastWriteTime, currentTime() - 3600);

    // Nothing but the three files is left in the folder.
    EXPECT_EQ(findFiles(dir_ / u"*").size(), 5u);  // with "." and ".."
    EXPECT_NE(copyFile(pathOf(u"missing"), pathOf(u"x.txt"), false), 0);
}

TEST_F(FileTest, ReadOnlyFilesAreNeitherRemovedNorOpenedForWriting) {
    test::writeFileBytes(pathOf(u"ro.txt"), "keep");
    ASSERT_EQ(setFileAttributes(pathOf(u"ro.txt"), kAttrReadOnly), 0);
    uint32_t attributes = 0;
    ASSERT_EQ(getFileAttributes(pathOf(u"ro.txt"), &attributes), 0);
    EXPECT_EQ(attributes & kAttrReadOnly, kAttrReadOnly);

    EXPECT_NE(removeFile(pathOf(u"ro.txt")), 0);
    EXPECT_EQ(test::readFileBytes(pathOf(u"ro.txt")), "keep");
    File f;
    FileException e(kCauseNone, 0, {});
    EXPECT_FALSE(f.tryOpen(pathOf(u"ro.txt"), Access::Write, Disposition::OpenExisting,
                           Share::Exclusive, &e));
    EXPECT_EQ(e.cause(), kCauseAccessDenied);
    EXPECT_TRUE(
        f.tryOpen(pathOf(u"ro.txt"), Access::Read, Disposition::OpenExisting, Share::DenyWrite));
    f.close();

    ASSERT_EQ(setFileAttributes(pathOf(u"ro.txt"), kAttrNormal), 0);
    EXPECT_EQ(removeFile(pathOf(u"ro.txt")), 0);
    EXPECT_FALSE(test::readFileBytes(pathOf(u"ro.txt")));
    EXPECT_TRUE(isNotFoundError(removeFile(pathOf(u"ro.txt"))));
}

TEST_F(FileTest, OpenFilesAreNeitherRemovedNorRenamed) {
    test::writeFileBytes(pathOf(u"a.txt"), "a");
    File f;
    f.open(pathOf(u"a.txt"), Access::Read, Disposition::OpenExisting, Share::DenyNone);
    EXPECT_TRUE(isSharingViolation(removeFile(pathOf(u"a.txt"))));
    EXPECT_TRUE(isSharingViolation(renameFile(pathOf(u"a.txt"), pathOf(u"b.txt"))));
    f.close();
    EXPECT_EQ(removeFile(pathOf(u"a.txt")), 0);
}

TEST_F(FileTest, RenameReplacesTheTarget) {
    test::writeFileBytes(pathOf(u"a.txt"), "new");
    test::writeFileBytes(pathOf(u"b.txt"), "old");
    ASSERT_EQ(renameFile(pathOf(u"a.txt"), pathOf(u"b.txt")), 0);
    EXPECT_EQ(test::readFileBytes(pathOf(u"b.txt")), "new");
    EXPECT_FALSE(test::readFileBytes(pathOf(u"a.txt")));

    test::writeFileBytes(pathOf(u"c.txt"), "newer");
    ASSERT_EQ(replaceFileDurably(pathOf(u"c.txt"), pathOf(u"b.txt")), 0);
    EXPECT_EQ(test::readFileBytes(pathOf(u"b.txt")), "newer");
    EXPECT_TRUE(isNotFoundError(renameFile(pathOf(u"c.txt"), pathOf(u"d.txt"))));
}

TEST_F(FileTest, Folders) {
    ASSERT_EQ(createDirectory(pathOf(u"sub")), 0);
    EXPECT_NE(createDirectory(pathOf(u"sub")), 0);
    test::writeFileBytes(pathOf(u"sub/a.txt"), "a");
    EXPECT_NE(removeDirectory(pathOf(u"sub")), 0);
    EXPECT_NE(removeFile(pathOf(u"sub")), 0);
    ASSERT_EQ(removeFile(pathOf(u"sub/a.txt")), 0);
    EXPECT_EQ(removeDirectory(pathOf(u"sub")), 0);
    EXPECT_TRUE(isNotFoundError(removeDirectory(pathOf(u"sub"))));
}

TEST_F(FileTest, AttributesRoundTrip) {
    test::writeFileBytes(pathOf(u"a.txt"), "a");
    ASSERT_EQ(createDirectory(pathOf(u"sub")), 0);
    uint32_t a = 0;
    ASSERT_EQ(getFileAttributes(pathOf(u"a.txt"), &a), 0);
    EXPECT_EQ(a, uint32_t{kAttrNormal});
    ASSERT_EQ(getFileAttributes(pathOf(u"sub"), &a), 0);
    EXPECT_EQ(a & (kAttrDirectory | kAttrNormal), uint32_t{kAttrDirectory});
    EXPECT_TRUE(isNotFoundError(getFileAttributes(pathOf(u"missing"), &a)));

    ASSERT_EQ(setFileAttributes(pathOf(u"a.txt"), kAttrHidden | kAttrSystem | kAttrReadOnly), 0);
    ASSERT_EQ(setFileAttributes(pathOf(u"sub"), kAttrDirectory | kAttrHidden | kAttrSystem), 0);
    ASSERT_EQ(getFileAttributes(pathOf(u"a.txt"), &a), 0);
    EXPECT_EQ(a & kAttrReadOnly, uint32_t{kAttrReadOnly});
    if (!(a & kAttrHidden)) GTEST_SKIP() << "this file system keeps no hidden/system attributes";
    EXPECT_EQ(a & (kAttrHidden | kAttrSystem), uint32_t{kAttrHidden | kAttrSystem});
    ASSERT_EQ(getFileAttributes(pathOf(u"sub"), &a), 0);
    EXPECT_EQ(a, uint32_t{kAttrDirectory | kAttrHidden | kAttrSystem});

    // Attributes travel with a copy and a rename.
    ASSERT_EQ(copyFile(pathOf(u"a.txt"), pathOf(u"sub/copy.txt"), true), 0);
    ASSERT_EQ(getFileAttributes(pathOf(u"sub/copy.txt"), &a), 0);
    EXPECT_EQ(a, uint32_t{kAttrHidden | kAttrSystem | kAttrReadOnly});

    ASSERT_EQ(setFileAttributes(pathOf(u"a.txt"), kAttrSystem), 0);
    ASSERT_EQ(getFileAttributes(pathOf(u"a.txt"), &a), 0);
    EXPECT_EQ(a, uint32_t{kAttrSystem});
    ASSERT_EQ(setFileAttributes(pathOf(u"a.txt"), 0), 0);
    ASSERT_EQ(getFileAttributes(pathOf(u"a.txt"), &a), 0);
    EXPECT_EQ(a, uint32_t{kAttrNormal});
}

}  // namespace
}  // namespace vt::plat
