// The virtual phone's folder and state file: the state text, atomic replacement, and what a
// crash leaves behind.
#include "engines/virtual_phone/phone_store.h"

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace vt::engines {
namespace {

using test::readFileBytes;
using test::writeFileBytes;

class PhoneStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(store_.open(nullptr)); }
    void TearDown() override { plat::fault::setHook(nullptr); }

    test::TempDir dir_;
    PhoneStore store_{dir_ / u"phone"};
};

TEST_F(PhoneStoreTest, StateTextRoundTrips) {
    PhoneState fresh;
    fresh.nextLuid = 9;
    ASSERT_TRUE(store_.loadState(&fresh, nullptr));
    EXPECT_EQ(fresh, PhoneState{}) << "without a state file the phone is new";

    PhoneState notes;
    notes.anchor = u"12";
    notes.nextLuid = 40;
    notes.notes[3] = NoteRevision{17, -5, 0xfedcba9876543210ull};
    notes.notes[39] = std::nullopt;
    PhoneState looked;  // keeps the time of the last look
    looked.checked = 1765011600;
    const std::pair<PhoneState, std::string> cases[] = {
        {notes, "vphone-state 1\nanchor 12\nnext-luid 40\nnote 3 17 -5 fedcba9876543210\nnew 39\n"},
        {looked, "vphone-state 1\nchecked 1765011600\nnext-luid 1\n"}};
    for (const auto& [st, text] : cases) {
        ASSERT_TRUE(store_.saveState(st, nullptr));
        EXPECT_EQ(*readFileBytes(store_.statePath()), text);
        PhoneState back;
        ASSERT_TRUE(store_.loadState(&back, nullptr));
        EXPECT_EQ(back, st);
    }
}

TEST_F(PhoneStoreTest, JournalCountsWholeLinesOnly) {
    auto j = PhoneJournal::parse(
        "add 4 7 ab\ndone 4\nnonsense\nadd 5 3 1f\ndone 9\nadd 6 1 2\ndone 5 x\nadd 7 1");
    EXPECT_EQ(j, (std::map<Luid, JournalEntry>{
                     {4, {7, 0xab, true}}, {5, {3, 0x1f, false}}, {6, {1, 2, false}}}));
    // A later add of the same LUID starts over.
    EXPECT_FALSE(PhoneJournal::parse("add 4 1 1\ndone 4\nadd 4 2 2\n").at(4).answered);
}

TEST_F(PhoneStoreTest, JournalAppendsAfterALineACrashCutShort) {
    writeFileBytes(store_.journalPath(), "add 3 1 1\nadd 4 7 a");
    PhoneJournal journal(store_);
    ASSERT_TRUE(journal.add(5, "bytes", nullptr));
    journal.done(5);
    EXPECT_FALSE(journal.read().at(5).answered) << "the done line waits";
    ASSERT_TRUE(journal.flush(nullptr));
    EXPECT_EQ(journal.read(),
              (std::map<Luid, JournalEntry>{{3, {1, 1, false}},
                                            {5, {5, PhoneStore::hashBytes("bytes"), true}}}));
    ASSERT_TRUE(journal.clear(nullptr));
    EXPECT_FALSE(readFileBytes(store_.journalPath()));
    EXPECT_TRUE(journal.clear(nullptr)) << "nothing to remove";
}

TEST_F(PhoneStoreTest, DamagedStateIsRefusedWithTheLine) {
    PhoneState st;
    std::u16string error;
    EXPECT_FALSE(
        PhoneStore::parseStateText("vphone-state 1\nnext-luid 2\nnote 1 x 2 3\n", &st, &error));
    EXPECT_NE(error.find(u"line 3"), std::u16string::npos) << toUtf8(error);
    EXPECT_FALSE(PhoneStore::parseStateText("next-luid 2\n", &st, &error));
    EXPECT_FALSE(PhoneStore::parseStateText("vphone-state 1\n", &st, &error));
}

TEST_F(PhoneStoreTest, StaleTemporaryFileFromACrashIsIgnoredAndRemoved) {
    PhoneState st;
    st.nextLuid = 5;
    ASSERT_TRUE(store_.saveState(st, nullptr));
    const std::u16string stale = plat::joinPath(store_.stateFolder(), u"state.tmp");
    writeFileBytes(stale, "vphone-st");  // cut off mid-write

    PhoneStore again(store_.folder());
    ASSERT_TRUE(again.open(nullptr));
    EXPECT_FALSE(readFileBytes(stale));
    PhoneState back;
    ASSERT_TRUE(again.loadState(&back, nullptr));
    EXPECT_EQ(back.nextLuid, 5u);
    EXPECT_TRUE(again.scan(nullptr).empty());
}

bool failStateRename(plat::fault::Op op, const std::u16string& path) {
    return op == plat::fault::Op::Rename && path.find(u"state") != std::u16string::npos;
}

bool failNoteWrite(plat::fault::Op op, const std::u16string&) {
    return op == plat::fault::Op::Write;
}

TEST_F(PhoneStoreTest, FailedSaveLeavesTheOldStateWhole) {
    PhoneState old;
    old.anchor = u"1";
    ASSERT_TRUE(store_.saveState(old, nullptr));
    PhoneState next = old;
    next.anchor.emplace(u"2");
    plat::fault::setHook(&failStateRename);
    std::u16string error;
    EXPECT_FALSE(store_.saveState(next, &error));
    EXPECT_FALSE(error.empty());
    plat::fault::setHook(nullptr);
    PhoneState back;
    ASSERT_TRUE(store_.loadState(&back, nullptr));
    EXPECT_EQ(back, old);
    EXPECT_FALSE(readFileBytes(plat::joinPath(store_.stateFolder(), u"state.tmp")));
}

TEST_F(PhoneStoreTest, FailedNoteWriteKeepsTheOldNote) {
    NoteRevision rev;
    ASSERT_TRUE(store_.writeNote(u"1", "old", &rev, nullptr));
    plat::fault::setHook(&failNoteWrite);
    EXPECT_FALSE(store_.writeNote(u"1", "new text", &rev, nullptr));
    plat::fault::setHook(nullptr);
    EXPECT_EQ(*readFileBytes(store_.notePath(u"1")), "old");
}

TEST_F(PhoneStoreTest, ScanAndListSkipHiddenNamesAndFolders) {
    writeFileBytes(store_.notePath(u"1"), "a");
    writeFileBytes(store_.notePath(u".swp"), "b");
    plat::createDirectory(store_.notePath(u"7"));
    auto notes = store_.scan(nullptr);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].name, u"1");
    EXPECT_EQ(notes[0].revision.size, 1u);
    EXPECT_EQ(notes[0].revision.hash, PhoneStore::hashBytes("a"));
    auto listed = store_.list();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, u"1");
    EXPECT_EQ(listed[0].size, 1u);
    EXPECT_EQ(listed[0].lastWriteTime, notes[0].revision.lastWriteTime);
}

TEST_F(PhoneStoreTest, RenameNeverReplacesAnotherNote) {
    writeFileBytes(store_.notePath(u"a"), "a");
    writeFileBytes(store_.notePath(u"1"), "one");
    EXPECT_FALSE(store_.renameNote(u"a", u"1", nullptr));
    EXPECT_EQ(*readFileBytes(store_.notePath(u"1")), "one");
}

TEST_F(PhoneStoreTest, OnlyCanonicalDecimalNamesAreLuids) {
    EXPECT_EQ(PhoneStore::parseLuid(u"12"), 12u);
    EXPECT_FALSE(PhoneStore::parseLuid(u"012"));
    EXPECT_FALSE(PhoneStore::parseLuid(u"0"));
    EXPECT_FALSE(PhoneStore::parseLuid(u"1a"));
    EXPECT_FALSE(PhoneStore::parseLuid(u""));
}

}  // namespace
}  // namespace vt::engines
