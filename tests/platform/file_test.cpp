// Contract tests of platform/file.h; written against the portable API so that every backend
// runs them unchanged.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/find.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/time.h"
#include "tests/support/held_file.h"
#include "tests/support/temp_dir.h"

namespace vt::plat {
namespace {

class FileTest : public ::testing::Test {
  protected:
    std::u16string p(const std::u16string& name) const { return dir_ / name; }

    // The cause of a failing open, kCauseNone when the open works (the file is closed again).
    static int openCause(const std::u16string& path, Access access, Share share,
                         Disposition disposition = Disposition::OpenExisting) {
        File f;
        FileException e(kCauseNone, 0, {});
        if (f.tryOpen(path, access, disposition, share, &e)) return kCauseNone;
        EXPECT_EQ(e.cause() == kCauseSharingViolation, isSharingViolation(e.osError()));
        EXPECT_EQ(e.fileName(), path);
        return e.cause();
    }

    test::TempDir dir_;
};

TEST_F(FileTest, ShareModesWithinOneProcess) {
    File holder;
    holder.open(p(u"a"), Access::ReadWrite, Disposition::CreateNew, Share::Exclusive);
    EXPECT_EQ(openCause(p(u"a"), Access::Read, Share::DenyNone), kCauseSharingViolation);
    File other;
    EXPECT_THROW(other.open(p(u"a"), Access::Read, Disposition::OpenExisting, Share::Exclusive),
                 FileException);
    holder.close();

    File reader;
    reader.open(p(u"a"), Access::Read, Disposition::OpenExisting, Share::DenyWrite);
    EXPECT_EQ(openCause(p(u"a"), Access::Read, Share::DenyWrite), kCauseNone);
    EXPECT_EQ(openCause(p(u"a"), Access::Read, Share::Exclusive), kCauseSharingViolation);
    // A writer that denies writers is refused while anyone reads, as readers deny writing too.
    EXPECT_EQ(openCause(p(u"a"), Access::ReadWrite, Share::DenyWrite), kCauseSharingViolation);
    reader.close();
    EXPECT_EQ(openCause(p(u"a"), Access::Read, Share::Exclusive), kCauseNone);

    // Held for writing by one that denies writers, as the record store holds its data file:
    // a second such open is refused, and so is every other open that denies writers.
    File store;
    store.open(p(u"a"), Access::ReadWrite, Disposition::OpenExisting, Share::DenyWrite);
    EXPECT_EQ(openCause(p(u"a"), Access::ReadWrite, Share::DenyWrite), kCauseSharingViolation);
    EXPECT_EQ(openCause(p(u"a"), Access::Write, Share::DenyWrite, Disposition::CreateAlways),
              kCauseSharingViolation);
    EXPECT_EQ(openCause(p(u"a"), Access::Read, Share::DenyWrite), kCauseSharingViolation);
    EXPECT_EQ(openCause(p(u"a"), Access::Write, Share::DenyNone), kCauseSharingViolation);
}

TEST_F(FileTest, ShareModesBindAnotherProcess) {
    const std::u16string path = p(u"held.dat");
    test::writeFileBytes(path, "kept");
    test::HeldFile exclusive(path, u"exclusive", p(u"exclusive.log"));
    ASSERT_TRUE(exclusive.holding());
    EXPECT_EQ(openCause(path, Access::Read, Share::DenyNone), kCauseSharingViolation);
    // The share mode ends with the process that held it, also when it is killed.
    EXPECT_EQ(exclusive.kill(), 128 + 9);  // as for SIGKILL, on every platform
    EXPECT_EQ(openCause(path, Access::Read, Share::Exclusive), kCauseNone);

    test::HeldFile store(path, u"deny-write", p(u"deny-write.log"));
    ASSERT_TRUE(store.holding());
    EXPECT_EQ(openCause(path, Access::ReadWrite, Share::DenyWrite), kCauseSharingViolation);
    EXPECT_EQ(openCause(path, Access::Write, Share::DenyWrite, Disposition::CreateAlways),
              kCauseSharingViolation);
    EXPECT_EQ(openCause(path, Access::Read, Share::DenyWrite), kCauseSharingViolation);
    EXPECT_EQ(test::readFileBytes(path), "kept") << "a refused open never cuts the file";
    store.kill();
    EXPECT_EQ(openCause(path, Access::ReadWrite, Share::DenyWrite), kCauseNone);
}

TEST_F(FileTest, PositionedAndSequentialAccess) {
    File f;
    f.open(p(u"a"), Access::ReadWrite, Disposition::CreateAlways, Share::Exclusive);
    f.writeAt(0, "hello world", 11);
    f.writeAt(6, "there", 5);
    f.writeAt(20, "!", 1);  // leaves a gap of zero bytes
    EXPECT_EQ(f.length(), 21u);
    char buf[32] = {};
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
    EXPECT_EQ(test::readFileBytes(p(u"a")), "hello thereX");
    EXPECT_THROW(f.read(buf, 1), FileException);
}

TEST_F(FileTest, ReserveKeepsTheLengthAndTheData) {
    File f;
    f.open(p(u"a"), Access::ReadWrite, Disposition::CreateAlways, Share::Exclusive);
    f.writeAt(0, "0123456789", 10);
    f.reserve(4, 2);            // inside the file
    f.reserve(8, 1024 * 1024);  // reaching past the end
    EXPECT_EQ(f.length(), 10u);
    f.writeAt(100000, "end", 3);
    f.close();
    std::optional<std::string> bytes = test::readFileBytes(p(u"a"));
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), 100003u);
    EXPECT_EQ(bytes->substr(0, 10), "0123456789");
    EXPECT_EQ(bytes->substr(100000), "end");
}

TEST_F(FileTest, DispositionsAndOpenFailures) {
    test::writeFileBytes(p(u"a"), "old content");
    EXPECT_NE(openCause(p(u"a"), Access::Write, Share::Exclusive, Disposition::CreateNew), 0);
    File f;
    f.open(p(u"a"), Access::ReadWrite, Disposition::OpenAlways, Share::Exclusive);
    EXPECT_EQ(f.length(), 11u);
    f.open(p(u"a"), Access::Write, Disposition::CreateAlways, Share::Exclusive);
    EXPECT_EQ(f.length(), 0u);
    f.close();

    EXPECT_EQ(openCause(p(u"missing"), Access::Read, Share::DenyNone), kCauseFileNotFound);
    ASSERT_EQ(createDirectory(p(u"sub")), 0);
    EXPECT_EQ(openCause(p(u"sub"), Access::Read, Share::DenyNone), kCauseAccessDenied);
    EXPECT_EQ(openCause(p(u"sub"), Access::ReadWrite, Share::DenyNone), kCauseAccessDenied);
}

TEST_F(FileTest, NoFollowRefusesALinkAtTheName) {
    test::writeFileBytes(p(u"target"), "target");
    if (!test::makeSymlink(p(u"target"), p(u"link"), false))
        GTEST_SKIP() << "no symbolic links on this system";
    EXPECT_EQ(openCause(p(u"link"), Access::Read, Share::DenyNone), kCauseNone);
    File f;
    FileException e(kCauseNone, 0, {});
    EXPECT_FALSE(f.tryOpen(p(u"link"), Access::Write, Disposition::CreateAlways, Share::DenyWrite,
                           &e, kOpenNoFollow));
    EXPECT_EQ(e.cause(), kCauseBadPath);
    EXPECT_EQ(test::readFileBytes(p(u"target")), "target");
    // A plain file opens as without the option.
    EXPECT_TRUE(f.tryOpen(p(u"target"), Access::Read, Disposition::OpenExisting, Share::DenyNone,
                          nullptr, kOpenNoFollow));
}

TEST_F(FileTest, StatusHasWholeSecondTimes) {
    int64_t before = currentTime();
    test::writeFileBytes(p(u"a"), "12345");
    int64_t after = currentTime();
    FileStatus byPath;
    ASSERT_TRUE(getFileStatus(p(u"a"), &byPath));
    EXPECT_FALSE(byPath.isDirectory);
    EXPECT_EQ(byPath.size, 5u);
    EXPECT_GE(byPath.lastWriteTime, before - 1);
    EXPECT_LE(byPath.lastWriteTime, after + 1);

    File f;
    f.open(p(u"a"), Access::Read, Disposition::OpenExisting, Share::DenyWrite);
    EXPECT_EQ(f.status().lastWriteTime, byPath.lastWriteTime);
    EXPECT_FALSE(getFileStatus(p(u"missing"), &byPath));
}

TEST_F(FileTest, CopyKeepsTheTimeAndRefusesToOverwriteWhenAsked) {
    test::writeFileBytes(p(u"src"), "source");
    std::filesystem::path src(p(u"src"));
    std::filesystem::last_write_time(
        src, std::filesystem::last_write_time(src) - std::chrono::hours(72));
    test::writeFileBytes(p(u"dst"), "target");

    EXPECT_NE(copyFile(p(u"src"), p(u"dst"), true), 0);
    EXPECT_EQ(test::readFileBytes(p(u"dst")), "target");
    ASSERT_EQ(copyFile(p(u"src"), p(u"dst"), false), 0);
    EXPECT_EQ(test::readFileBytes(p(u"dst")), "source");
    FileStatus a, b;
    ASSERT_TRUE(getFileStatus(p(u"src"), &a));
    ASSERT_TRUE(getFileStatus(p(u"dst"), &b));
    EXPECT_EQ(b.lastWriteTime, a.lastWriteTime);
    EXPECT_LT(b.lastWriteTime, currentTime() - 3600);
    EXPECT_EQ(findFiles(p(u"*")).size(), 4u) << "only src, dst, \".\" and \"..\"";
}

TEST_F(FileTest, ReadOnlyAndOpenFilesAreNotRemoved) {
    test::writeFileBytes(p(u"ro"), "keep");
    ASSERT_EQ(setFileAttributes(p(u"ro"), kAttrReadOnly), 0);
    EXPECT_NE(removeFile(p(u"ro")), 0);
    EXPECT_EQ(test::readFileBytes(p(u"ro")), "keep");
    EXPECT_EQ(openCause(p(u"ro"), Access::Write, Share::Exclusive), kCauseAccessDenied);
    EXPECT_EQ(openCause(p(u"ro"), Access::Read, Share::Exclusive), kCauseNone);
    ASSERT_EQ(setFileAttributes(p(u"ro"), kAttrNormal), 0);

    // As on Windows, a file that is open cannot be removed or renamed.
    File f;
    f.open(p(u"ro"), Access::Read, Disposition::OpenExisting, Share::DenyNone);
    EXPECT_TRUE(isSharingViolation(removeFile(p(u"ro"))));
    EXPECT_TRUE(isSharingViolation(renameFile(p(u"ro"), p(u"other"))));
    f.close();
    EXPECT_EQ(removeFile(p(u"ro")), 0);
    EXPECT_TRUE(isNotFoundError(removeFile(p(u"ro"))));

    ASSERT_EQ(createDirectory(p(u"sub")), 0);
    test::writeFileBytes(joinPath(p(u"sub"), u"a"), "a");
    EXPECT_NE(removeFile(p(u"sub")), 0);
    EXPECT_NE(removeDirectory(p(u"sub")), 0) << "not empty";
}

TEST_F(FileTest, FoldersAreMadeLevelByLevelButNotThroughAFile) {
    const std::u16string deep = joinPath(joinPath(p(u"a"), u"b"), u"c");
    EXPECT_EQ(createFolders(deep + kPathSeparator), 0);
    FileStatus st;
    EXPECT_TRUE(getFileStatus(deep, &st) && st.isDirectory);
    EXPECT_EQ(createFolders(deep), 0) << "an existing folder is fine";
    test::writeFileBytes(p(u"file"), "x");
    EXPECT_EQ(createFolders(joinPath(p(u"file"), u"sub")), notADirectoryError());
    EXPECT_EQ(createFolders(p(u"file")), notADirectoryError());

    EXPECT_EQ(parentFolder(deep), joinPath(p(u"a"), u"b"));
    EXPECT_EQ(parentFolder(deep + kPathSeparator), joinPath(p(u"a"), u"b"));
    EXPECT_EQ(fileNameOf(deep + kPathSeparator), u"c");
    EXPECT_EQ(parentFolder(u"c"), u"");
    EXPECT_EQ(fileNameOf(u"c"), u"c");
}

TEST_F(FileTest, AFolderIsNotOpenedAsAFileForWriting) {
    ASSERT_EQ(createDirectory(p(u"sub")), 0);
    File f;
    FileException e(kCauseNone, 0, {});
    EXPECT_FALSE(
        f.tryOpen(p(u"sub"), Access::Write, Disposition::OpenExisting, Share::DenyNone, &e));
    EXPECT_EQ(e.osError(), notAFileError());
}

TEST_F(FileTest, RenameReplacesTheTarget) {
    test::writeFileBytes(p(u"a"), "new");
    test::writeFileBytes(p(u"b"), "old");
    ASSERT_EQ(renameFile(p(u"a"), p(u"b")), 0);
    EXPECT_EQ(test::readFileBytes(p(u"b")), "new");
    EXPECT_FALSE(test::readFileBytes(p(u"a")));
    test::writeFileBytes(p(u"c"), "newer");
    ASSERT_EQ(replaceFileDurably(p(u"c"), p(u"b")), 0);
    EXPECT_EQ(test::readFileBytes(p(u"b")), "newer");
    EXPECT_TRUE(isNotFoundError(renameFile(p(u"c"), p(u"d"))));
}

TEST_F(FileTest, IdentityTellsWhetherTwoNamesAreOneFile) {
    test::writeFileBytes(p(u"a"), "same");
    test::writeFileBytes(p(u"b"), "same");
    EXPECT_TRUE(isSameFile(p(u"a"), p(u"a")));
    EXPECT_FALSE(isSameFile(p(u"a"), p(u"b"))) << "equal contents, two files";
    EXPECT_FALSE(isSameFile(p(u"a"), p(u"missing")));
    EXPECT_FALSE(isSameFile(p(u"missing"), p(u"missing")));
    FileIdentity id;
    EXPECT_FALSE(getFileIdentity(p(u"missing"), &id));

    std::error_code ec;
    std::filesystem::create_hard_link(toUtf8(p(u"a")), toUtf8(p(u"second name")), ec);
    if (ec) GTEST_SKIP() << "no hard links here: " << ec.message();
    EXPECT_TRUE(isSameFile(p(u"a"), p(u"second name")));
    // Held open with no sharing, the file still tells its identity.
    File held;
    held.open(p(u"a"), Access::ReadWrite, Disposition::OpenExisting, Share::Exclusive);
    EXPECT_TRUE(isSameFile(p(u"second name"), p(u"a")));
}

TEST_F(FileTest, AttributesRoundTrip) {
    test::writeFileBytes(p(u"a"), "a");
    ASSERT_EQ(createDirectory(p(u"sub")), 0);
    uint32_t a = 0;
    ASSERT_EQ(getFileAttributes(p(u"a"), &a), 0);
    EXPECT_EQ(a, uint32_t{kAttrNormal});
    ASSERT_EQ(getFileAttributes(p(u"sub"), &a), 0);
    EXPECT_EQ(a & (kAttrDirectory | kAttrNormal), uint32_t{kAttrDirectory});

    ASSERT_EQ(setFileAttributes(p(u"a"), kAttrHidden | kAttrSystem | kAttrReadOnly), 0);
    ASSERT_EQ(setFileAttributes(p(u"sub"), kAttrDirectory | kAttrHidden | kAttrSystem), 0);
    ASSERT_EQ(getFileAttributes(p(u"a"), &a), 0);
    EXPECT_EQ(a & kAttrReadOnly, uint32_t{kAttrReadOnly});
    if (!(a & kAttrHidden)) GTEST_SKIP() << "this file system keeps no hidden/system attributes";
    EXPECT_EQ(a & (kAttrHidden | kAttrSystem), uint32_t{kAttrHidden | kAttrSystem});
    ASSERT_EQ(getFileAttributes(p(u"sub"), &a), 0);
    EXPECT_EQ(a, uint32_t{kAttrDirectory | kAttrHidden | kAttrSystem});

    ASSERT_EQ(copyFile(p(u"a"), joinPath(p(u"sub"), u"copy"), true), 0);  // a copy keeps them
    ASSERT_EQ(getFileAttributes(joinPath(p(u"sub"), u"copy"), &a), 0);
    EXPECT_EQ(a, uint32_t{kAttrHidden | kAttrSystem | kAttrReadOnly});
    ASSERT_EQ(setFileAttributes(p(u"a"), kAttrSystem), 0);
    ASSERT_EQ(getFileAttributes(p(u"a"), &a), 0);
    EXPECT_EQ(a, uint32_t{kAttrSystem});
    ASSERT_EQ(setFileAttributes(p(u"a"), 0), 0);
    ASSERT_EQ(getFileAttributes(p(u"a"), &a), 0);
    EXPECT_EQ(a, uint32_t{kAttrNormal});
}

}  // namespace
}  // namespace vt::plat
