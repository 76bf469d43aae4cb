// Contract tests of platform/find.h: the wildcard rules and what a folder search reports.
#include "platform/find.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace vt::plat {
namespace {

class FindTest : public ::testing::Test {
  protected:
    // name → entry, for checks that do not depend on the file system's order.
    std::map<std::u16string, FindEntry> find(const std::u16string& pattern,
                                             FindDetail detail = FindDetail::NamesOnly) {
        std::map<std::u16string, FindEntry> byName;
        for (FindEntry& e : findFiles(dir_ / pattern, detail)) {
            EXPECT_EQ(byName.count(e.name), 0u) << "reported twice";
            byName[e.name] = e;
        }
        return byName;
    }

    test::TempDir dir_;
};

TEST_F(FindTest, WildcardRules) {
    EXPECT_TRUE(matchesWildcard(u"*.txt", u"A.TXT"));
    EXPECT_TRUE(matchesWildcard(u"*.txt", u"b.txt"));
    EXPECT_FALSE(matchesWildcard(u"*.txt", u"c.txt.bak"));
    EXPECT_TRUE(matchesWildcard(u"*.*", u"noext"));
    EXPECT_TRUE(matchesWildcard(u"*.*", u".."));
    EXPECT_TRUE(matchesWildcard(u"MorVex_*.qlr", u"morvex_DE.QLR"));
    EXPECT_FALSE(matchesWildcard(u"MorVex_*.qlr", u"MorVex.qlr"));
    EXPECT_FALSE(matchesWildcard(u"MorVex_*.qlr", u"MorVex_de.qlr.old"));
    EXPECT_TRUE(matchesWildcard(u"?.txt", u"a.txt"));
    EXPECT_FALSE(matchesWildcard(u"?.txt", u"ab.txt"));
    EXPECT_TRUE(matchesWildcard(u"a*b*c", u"aXbYbZc"));  // needs backtracking
    EXPECT_FALSE(matchesWildcard(u"a*b*c", u"aXbYcZ"));
    EXPECT_FALSE(matchesWildcard(u"Ä*", u"ä"));  // only ASCII letters ignore case
}

TEST_F(FindTest, ReportsMatchingFilesAndFoldersInAnyCase) {
    for (const char16_t* name : {u"A.TXT", u"b.txt", u"c.txt.bak", u"noext"})
        test::writeFileBytes(dir_ / name, "x");
    ASSERT_EQ(createDirectory(dir_ / u"d.txt"), 0);

    auto found = find(u"*.txt");
    ASSERT_EQ(found.size(), 3u);
    EXPECT_FALSE(found[u"A.TXT"].isDirectory);
    EXPECT_FALSE(found[u"b.txt"].isDirectory);
    EXPECT_TRUE(found[u"d.txt"].isDirectory);

    auto all = find(u"*.*");
    EXPECT_EQ(all.size(), 7u);  // the five entries, "." and ".."
    EXPECT_TRUE(all.count(u"noext"));
    EXPECT_TRUE(all[u"."].isDirectory);
    EXPECT_TRUE(all[u".."].isDirectory);
}

TEST_F(FindTest, PlainNamesAndMissingFolders) {
    test::writeFileBytes(dir_ / u"Notes.xml", "x");
    auto exact = find(u"Notes.xml");
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_TRUE(exact.count(u"Notes.xml"));
    auto otherCase = find(u"notes.XML");
    ASSERT_EQ(otherCase.size(), 1u);
    EXPECT_TRUE(otherCase.begin()->first == u"Notes.xml" ||
                otherCase.begin()->first == u"notes.XML");

    EXPECT_TRUE(find(u"missing.xml").empty());
    EXPECT_TRUE(find(joinPath(u"missing", u"*.*")).empty());
    EXPECT_TRUE(findFiles(joinPath(dir_ / u"Notes.xml", u"*")).empty());

    // A search that matches nothing is no error; a folder that can't be read is one.
    std::vector<FindEntry> out{FindEntry{}};
    EXPECT_EQ(searchFolder(dir_ / u"*.txt", FindDetail::NamesOnly, &out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(isNotFoundError(
        searchFolder(joinPath(dir_ / u"missing", u"*.txt"), FindDetail::WithTimes, &out)));
    EXPECT_NE(searchFolder(joinPath(dir_ / u"Notes.xml", u"*"), FindDetail::NamesOnly, &out), 0);
}

TEST_F(FindTest, SearchWithStatusFillsTheFields) {
    test::writeFileBytes(dir_ / u"a.txt", "12345");
    std::filesystem::path aged(dir_ / u"a.txt");
    std::filesystem::last_write_time(
        aged, std::filesystem::last_write_time(aged) - std::chrono::hours(30));
    test::writeFileBytes(dir_ / u"ro.txt", "1");
    ASSERT_EQ(setFileAttributes(dir_ / u"ro.txt", kAttrReadOnly), 0);
    ASSERT_EQ(createDirectory(dir_ / u"sub"), 0);
    // A hidden file moved in from elsewhere keeps its attributes.
    const std::u16string inSub = joinPath(dir_ / u"sub", u"h.txt");
    test::writeFileBytes(inSub, "1");
    ASSERT_EQ(setFileAttributes(inSub, kAttrHidden), 0);
    ASSERT_EQ(renameFile(inSub, dir_ / u"h.txt"), 0);

    auto found = find(u"*", FindDetail::WithStatus);
    ASSERT_EQ(found.size(), 6u);
    for (const auto& [name, e] : found) {
        FileStatus st;
        ASSERT_TRUE(getFileStatus(dir_ / name, &st)) << name.size();
        EXPECT_EQ(e.isDirectory, st.isDirectory);
        EXPECT_EQ(e.lastWriteTime, st.lastWriteTime);
        EXPECT_EQ(e.attributes, st.attributes);
        if (!e.isDirectory) {
            EXPECT_EQ(e.size, st.size);
        }
    }
    EXPECT_EQ(found[u"a.txt"].size, 5u);
    EXPECT_EQ(found[u"a.txt"].attributes, uint32_t{kAttrNormal});
    EXPECT_EQ(found[u"ro.txt"].attributes & kAttrReadOnly, uint32_t{kAttrReadOnly});
    EXPECT_EQ(found[u"sub"].attributes & kAttrDirectory, uint32_t{kAttrDirectory});

    auto names = find(u"*");
    EXPECT_EQ(names[u"a.txt"].lastWriteTime, 0);  // names only: no status
}

// A link is reported as one, with the kind of what it leads to, so that a walk can leave it
// alone; removing it removes the link, never what it leads to.
TEST_F(FindTest, LinksAreReportedAsLinks) {
    test::TempDir outside;
    test::writeFileBytes(outside / u"file", "kept");
    test::writeFileBytes(dir_ / u"plain", "x");
    ASSERT_EQ(createDirectory(dir_ / u"folder"), 0);
    if (!test::makeSymlink(outside.path(), dir_ / u"to-folder", true))
        GTEST_SKIP() << "no symbolic links on this system";
    ASSERT_TRUE(test::makeSymlink(outside / u"file", dir_ / u"to-file", false));
    ASSERT_TRUE(test::makeSymlink(outside / u"missing", dir_ / u"dangling", false));

    for (FindDetail detail : {FindDetail::NamesOnly, FindDetail::WithStatus}) {
        auto found = find(u"*", detail);
        EXPECT_TRUE(found[u"to-folder"].isLink);
        EXPECT_TRUE(found[u"to-folder"].isDirectory);
        EXPECT_TRUE(found[u"to-file"].isLink);
        EXPECT_FALSE(found[u"to-file"].isDirectory);
        EXPECT_TRUE(found[u"dangling"].isLink);
        EXPECT_FALSE(found[u"plain"].isLink);
        EXPECT_FALSE(found[u"folder"].isLink);
    }
    auto exact = find(u"to-folder");
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_TRUE(exact[u"to-folder"].isLink);

    for (const char16_t* link : {u"to-folder", u"to-file", u"dangling"})
        EXPECT_EQ(removeFile(dir_ / link), 0) << toUtf8(link);
    EXPECT_EQ(test::readFileBytes(outside / u"file"), "kept");
}

}  // namespace
}  // namespace vt::plat
