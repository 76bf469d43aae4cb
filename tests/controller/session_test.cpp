// Sessions through the controller, with a scripted engine playing the phone's side.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "controller/notes_controller.h"
#include "controller/notify_converter.h"
#include "platform/fault.h"
#include "platform/find.h"
#include "platform/path.h"
#include "platform/text.h"
#include "tests/support/fakes.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using test::bytesVariant;
using test::FakeEngine;
using testing::ElementsAre;
using testing::UnorderedElementsAre;

class SessionTest : public test::PhoneSandbox {
  protected:
    void SetUp() override { open(); }
    void TearDown() override {
        engine_.join();
        EXPECT_TRUE(CNotifyConverter::waitForDeliveries(5000));
    }
    void open() {
        c_ = std::make_unique<CNotesController>(u"350000000000001", alias_, 7, &engine_);
    }
    void reopen() {
        c_.reset();
        open();
    }

    std::u16string note(const std::u16string& name) {
        return plat::joinPath(notesFolder(alias_), name);
    }
    void writeNote(const std::u16string& name, const std::string& bytes) {
        test::writeFileBytes(note(name), bytes);
    }
    std::optional<std::string> readNote(const std::u16string& name) {
        return test::readFileBytes(note(name));
    }
    // A PC edit with its last-write time moved on, so the scan sees it within one second.
    void editNote(const std::u16string& name, const std::string& bytes) {
        writeNote(name, bytes);
        fs::path p(note(name));
        fs::last_write_time(p, fs::last_write_time(p) + std::chrono::seconds(5));
    }
    std::vector<std::u16string> noteNames() {
        std::vector<std::u16string> names;
        for (const auto& e : plat::findFiles(note(u"*.txt")))
            if (!e.isDirectory) names.push_back(e.name);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::u16string prop(const std::u16string& key) {
        CPropertyValue* v = c_->properties()->get(key);
        if (!v) return u"<none>";
        std::u16string s;
        v->getStringValue(s);
        return s;
    }

    vantrel::ISyncEngineCallback* cb() { return engine_.callback(); }
    HRESULT phoneAdd(const std::u16string& luid, const std::string& bytes, LONG* status) {
        auto v = bytesVariant(bytes);
        return cb()->ClientCmdAddItem(0, 100, 0, toOleStr(luid), 0, 0, 0, *v.get(), status);
    }
    HRESULT phoneReplace(const std::u16string& luid, const std::string& bytes, LONG* status) {
        auto v = bytesVariant(bytes);
        return cb()->ClientCmdReplaceItem(0, 101, 0, toOleStr(luid), 0, 0, 0, *v.get(), status);
    }
    HRESULT phoneDelete(const std::u16string& luid, LONG* status) {
        return cb()->ClientCmdDeleteItem(0, 102, 0, toOleStr(luid), 0, 0, 0, status);
    }
    HRESULT map(const std::u16string& luid, const std::u16string& localId) {
        return cb()->ClientMapItemAdded(0, toOleStr(luid), toOleStr(localId));
    }
    void acknowledgeAll(size_t from) { ASSERT_EQ(engine_.acknowledge(from), S_OK); }
    // A whole session in which the phone accepts everything and sends nothing.
    void plainSession() {
        size_t from = engine_.items.size();
        ASSERT_EQ(c_->synchronize(), S_OK);
        acknowledgeAll(from);
        ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);
    }

    // a.txt and b.txt exchanged in a plain session; their LUIDs in luidA_ and luidB_.
    void syncedAB(const std::string& a = "a", const std::string& b = "b") {
        writeNote(u"a.txt", a);
        writeNote(u"b.txt", b);
        plainSession();
        luidA_ = prop(u"pcfilename:a.txt");
        luidB_ = prop(u"pcfilename:b.txt");
    }

    FakeEngine engine_;
    std::unique_ptr<CNotesController> c_;
    std::u16string luidA_, luidB_;
};

TEST_F(SessionTest, FirstSlowSyncBothWaysThenTwoWayWithAnchors) {
    writeNote(u"a.txt", "alpha\r\n");
    writeNote(u"b.txt", "beta");
    ASSERT_EQ(c_->synchronize(), S_OK);
    EXPECT_EQ(engine_.alert, 201);
    EXPECT_EQ(engine_.lastAnchor, u"0");
    EXPECT_EQ(engine_.nextAnchor, u"0");
    EXPECT_TRUE(c_->slowSync());
    ASSERT_EQ(engine_.items.size(), 2u);
    std::vector<std::u16string> ids{engine_.items[0].luid, engine_.items[1].luid};
    EXPECT_THAT(ids, UnorderedElementsAre(u"1", u"2"));
    // Newest job first.
    EXPECT_EQ(c_->sentJobs().front().localLuid, engine_.items[1].luid);

    LONG status = 0;
    ASSERT_EQ(cb()->ClientCmdAlert(201, 0, 0, 0, vt::ole(u"0"), vt::ole(u"0"), &status), S_OK);
    EXPECT_EQ(status, 200);
    ASSERT_EQ(phoneAdd(u"p9", "from the phone\n", &status), S_OK);
    EXPECT_EQ(status, 201);
    acknowledgeAll(0);
    ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);

    EXPECT_EQ(readNote(u"p9.txt"), "from the phone\n");
    EXPECT_EQ(prop(u"luid2file:p9"), u"p9.txt");
    EXPECT_EQ(prop(u"pcfilename:a.txt"), u"p" + prop(u"pcfilename:a.txt").substr(1));
    EXPECT_EQ(c_->lastSyncNum(), 0);
    EXPECT_TRUE(c_->sentJobs().empty());

    reopen();  // everything above was saved
    EXPECT_EQ(prop(u"luid2file:p9"), u"p9.txt");
    size_t before = engine_.items.size();
    ASSERT_EQ(c_->synchronize(), S_OK);
    EXPECT_EQ(engine_.alert, 200);
    EXPECT_EQ(engine_.lastAnchor, u"0");
    EXPECT_EQ(engine_.nextAnchor, u"1");
    EXPECT_EQ(engine_.items.size(), before) << "nothing changed, nothing sent";
    ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);
    EXPECT_EQ(c_->lastSyncNum(), 1);
}

// An engine whose callbacks start at once writes the property set from its own thread; the new
// anchor must already be stored when StartSync is called, not written after it returns.
class StartProbeEngine : public test::FakeEngine {
  public:
    CNotesController* controller = nullptr;
    int32_t lastSyncNumAtStart = -2;  // -2: not stored
    HRESULT STDMETHODCALLTYPE StartSync(LONG alertCode, BSTR a, BSTR b, BSTR last, BSTR next,
                                        LONG flags, vantrel::ISyncEngineCallback* cb,
                                        ULONG* session) override {
        if (CPropertyValue* v = controller->properties()->get(u"LastSyncNum"))
            v->getLongValue(lastSyncNumAtStart);
        return FakeEngine::StartSync(alertCode, a, b, last, next, flags, cb, session);
    }
};

TEST_F(SessionTest, TheNewAnchorIsStoredBeforeTheEngineStarts) {
    c_.reset();
    StartProbeEngine probe;
    {
        CNotesController c(u"350000000000001", alias_, 7, &probe);
        probe.controller = &c;
        ASSERT_EQ(c.synchronize(), S_OK);
        EXPECT_EQ(probe.lastSyncNumAtStart, 0);
        probe.join();
        probe.releaseCallback();
    }
}

TEST_F(SessionTest, EditsAndDeletesOnThePcReachTheEngineInOrder) {
    syncedAB();

    editNote(u"a.txt", "a edited");
    ASSERT_TRUE(fs::remove(fs::path(note(u"b.txt"))));
    writeNote(u"c.txt", "c");
    size_t from = engine_.items.size();
    ASSERT_EQ(c_->synchronize(), S_OK);
    ASSERT_EQ(engine_.items.size(), from + 3);
    EXPECT_EQ(engine_.items[from].kind, FakeEngine::Item::Delete);
    EXPECT_EQ(engine_.items[from].luid, luidB_);
    EXPECT_EQ(engine_.items[from + 1].kind, FakeEngine::Item::Replace);
    EXPECT_EQ(engine_.items[from + 1].luid, luidA_);
    EXPECT_EQ(engine_.items[from + 1].data, "a edited");
    EXPECT_EQ(engine_.items[from + 2].kind, FakeEngine::Item::Add);
    acknowledgeAll(from);
    ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);

    EXPECT_EQ(prop(u"pcfilename:b.txt"), u"<none>");
    EXPECT_EQ(prop(u"luid2file:" + luidB_), u"<none>");
    std::vector<uint8_t> stored;
    ASSERT_EQ(c_->notesDB().fetch(u"a.txt", stored), 0);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), "a edited");
    EXPECT_EQ(prop(u"pcmodified:a.txt"), u"true");
}

TEST_F(SessionTest, MapBeforeOrAfterStatusEndsWithTheSameMapping) {
    writeNote(u"first.txt", "1");
    writeNote(u"second.txt", "2");
    ASSERT_EQ(c_->synchronize(), S_OK);
    const auto& items = engine_.items;
    ASSERT_EQ(items.size(), 2u);
    // Map first for one note, status first for the other.
    ASSERT_EQ(map(u"L1", items[0].luid), S_OK);
    ASSERT_EQ(cb()->ClientCmdStatus(items[0].cmdId, 201), S_OK);
    ASSERT_EQ(cb()->ClientCmdStatus(items[1].cmdId, 200), S_OK);
    ASSERT_EQ(map(u"L2", items[1].luid), S_OK);
    ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);
    std::u16string f1 = prop(u"luid2file:L1"), f2 = prop(u"luid2file:L2");
    EXPECT_THAT((std::vector<std::u16string>{f1, f2}),
                UnorderedElementsAre(u"first.txt", u"second.txt"));
    EXPECT_EQ(prop(u"pcfilename:" + f1), u"L1");
    EXPECT_EQ(prop(u"pcfilename:" + f2), u"L2");
    EXPECT_NE(prop(u"luid2syncno:L1"), u"<none>");
    EXPECT_EQ(prop(u"luid2syncno:L2"), u"<none>") << "the status came before the map";
    EXPECT_EQ(prop(u"luid2syncno:"), u"0");
}

TEST_F(SessionTest, RefusedAndRepeatedStatuses) {
    writeNote(u"n.txt", "n");
    ASSERT_EQ(c_->synchronize(), S_OK);
    ULONG cmd = engine_.items.at(0).cmdId;
    EXPECT_EQ(cb()->ClientCmdStatus(cmd, 500), S_OK);  // refused: nothing changes
    EXPECT_EQ(cb()->ClientCmdStatus(999, 200), E_FAIL);
    EXPECT_EQ(cb()->SyncStatusFinished(), E_FAIL) << "a job without an accepted status";
    EXPECT_EQ(prop(u"filetime:n.txt"), u"<none>");

    // The next session sends the note again and this time it is taken; a second status for
    // the same command is refused without storing twice.
    size_t from = engine_.items.size();
    ASSERT_EQ(c_->synchronize(), S_OK);
    ASSERT_EQ(engine_.items.size(), from + 1);
    cmd = engine_.items[from].cmdId;
    ASSERT_EQ(map(u"L", engine_.items[from].luid), S_OK);
    EXPECT_EQ(cb()->ClientCmdStatus(cmd, 201), S_OK);
    EXPECT_EQ(cb()->ClientCmdStatus(cmd, 201), E_FAIL);
    EXPECT_EQ(cb()->SyncStatusFinished(), S_OK);
    EXPECT_EQ(prop(u"luid2file:L"), u"n.txt");
}

TEST_F(SessionTest, ReplaceStatusOtherThan200IsRefusedDeleteTakes199To299And404) {
    syncedAB();
    editNote(u"a.txt", "a2");
    ASSERT_TRUE(fs::remove(fs::path(note(u"b.txt"))));
    size_t from = engine_.items.size();
    ASSERT_EQ(c_->synchronize(), S_OK);
    for (size_t i = from; i < engine_.items.size(); ++i) {
        const auto& item = engine_.items[i];
        if (item.kind == FakeEngine::Item::Replace)
            EXPECT_EQ(cb()->ClientCmdStatus(item.cmdId, 201), S_OK);
        else
            EXPECT_EQ(cb()->ClientCmdStatus(item.cmdId, 404), S_OK);
    }
    EXPECT_EQ(cb()->SyncStatusFinished(), E_FAIL) << "the replace was refused";
    EXPECT_EQ(prop(u"pcfilename:b.txt"), u"<none>") << "the phone no longer had it: gone";
}

TEST_F(SessionTest, ConflictsGoThePcsWay) {
    syncedAB("pc original");
    editNote(u"a.txt", "pc edit");
    editNote(u"b.txt", "b edit");
    ASSERT_EQ(c_->synchronize(), S_OK);
    LONG status = 0;
    EXPECT_EQ(phoneReplace(luidA_, "phone edit", &status), S_OK);
    EXPECT_EQ(status, 419);
    EXPECT_EQ(readNote(u"a.txt"), "pc edit");
    EXPECT_EQ(phoneDelete(luidB_, &status), S_OK);
    EXPECT_EQ(status, 419);
    EXPECT_EQ(readNote(u"b.txt"), "b edit");
    // An add for a LUID the PC holds is a replace; the conflict still answers 201.
    EXPECT_EQ(phoneAdd(luidA_, "again", &status), S_OK);
    EXPECT_EQ(status, 201);
    acknowledgeAll(engine_.items.size() - 2);
    EXPECT_EQ(cb()->SyncStatusFinished(), S_OK);
    EXPECT_EQ(readNote(u"a.txt"), "pc edit");
}

TEST_F(SessionTest, PhoneEditsReachThePc) {
    writeNote(u"a.txt", "a");
    plainSession();
    const std::u16string luid = prop(u"pcfilename:a.txt");
    ASSERT_EQ(c_->synchronize(), S_OK);
    LONG status = 0;
    EXPECT_EQ(phoneReplace(luid, "phone\r\nbytes \xff", &status), S_OK);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(readNote(u"a.txt"), "phone\r\nbytes \xff");
    EXPECT_EQ(phoneReplace(u"unknown", "x", &status), E_FAIL);
    EXPECT_EQ(status, 404);
    EXPECT_EQ(cb()->SyncStatusFinished(), S_OK);
    // What the phone wrote is not sent back.
    size_t from = engine_.items.size();
    plainSession();
    EXPECT_EQ(engine_.items.size(), from);
}

TEST_F(SessionTest, NoteDeletedOnBothSidesAndDeleteOfAFileAlreadyGone) {
    syncedAB();
    ASSERT_TRUE(fs::remove(fs::path(note(u"a.txt"))));
    ASSERT_EQ(c_->synchronize(), S_OK);
    ASSERT_EQ(engine_.items.back().kind, FakeEngine::Item::Delete);
    const ULONG deleteCmd = engine_.items.back().cmdId;
    LONG status = 0;
    EXPECT_EQ(phoneDelete(luidA_, &status), S_OK);
    EXPECT_EQ(status, 200);
    EXPECT_THAT(engine_.withdrawn, ElementsAre(deleteCmd));
    EXPECT_EQ(cb()->ClientCmdStatus(deleteCmd, 200), E_FAIL) << "the job was withdrawn";

    // b.txt vanished behind the controller's back; the phone's delete still clears it.
    ASSERT_TRUE(fs::remove(fs::path(note(u"b.txt"))));
    EXPECT_EQ(phoneDelete(luidB_, &status), S_OK);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(phoneDelete(u"never-known", &status), E_FAIL);
    EXPECT_EQ(status, 404);
    EXPECT_EQ(cb()->SyncStatusFinished(), S_OK);
    std::vector<std::u16string> keys;
    c_->notesDB().getKeys(keys);
    EXPECT_TRUE(keys.empty());
    for (const char16_t* prefix : {u"filetime:", u"pcfilename:", u"pcmodified:"})
        EXPECT_EQ(prop(std::u16string(prefix) + u"b.txt"), u"<none>");
}

TEST_F(SessionTest, AVanishedNotesFolderIsNeverTakenForEveryNoteDeleted) {
    syncedAB();
    const fs::path folder(notesFolder(alias_));
    const fs::path moved = folder.parent_path() / "moved away";
    fs::rename(folder, moved);
    const size_t handedOver = engine_.items.size();
    const int starts = engine_.starts;
    EXPECT_EQ(c_->synchronize(), E_FAIL) << "renamed while the phone is connected";
    reopen();
    EXPECT_FALSE(fs::exists(folder)) << "no empty folder is made in its place";
    EXPECT_EQ(c_->synchronize(), E_FAIL) << "renamed between two connections";
    EXPECT_EQ(engine_.items.size(), handedOver);
    EXPECT_EQ(engine_.starts, starts);
    EXPECT_EQ(prop(u"pcfilename:a.txt"), luidA_);

    fs::rename(moved, folder);
    ASSERT_EQ(c_->synchronize(), S_OK);
    EXPECT_EQ(engine_.items.size(), handedOver) << "nothing changed while it was away";
}

TEST_F(SessionTest, HostileLuidsStayInsideTheNotesFolder) {
    ASSERT_EQ(c_->synchronize(), S_OK);
    const std::u16string hostile[] = {u"../escape", u"a/b", u"c:\\d", u"..",
                                      u"x\x01y",    u"CON", u"12;3"};
    LONG status = 0;
    for (const auto& luid : hostile) {
        ASSERT_EQ(phoneAdd(luid, "payload", &status), S_OK);
        EXPECT_EQ(status, 201);
    }
    ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);
    EXPECT_EQ(noteNames().size(), std::size(hostile));
    EXPECT_FALSE(fs::exists(fs::path(phoneFolder(alias_)) / "escape.txt"));
    EXPECT_EQ(prop(u"luid2file:12;3"), u"12 3.txt");
    for (const auto& luid : hostile) {
        std::u16string name = prop(u"luid2file:" + luid);
        EXPECT_EQ(name.find_first_of(u"/\\"), std::u16string::npos);
        EXPECT_EQ(prop(u"pcfilename:" + name), luid) << "the mapping keeps the LUID exactly";
        EXPECT_EQ(readNote(name), "payload");
    }
    // And deleting them removes only their own files.
    ASSERT_EQ(c_->synchronize(), S_OK);
    for (const auto& luid : hostile) {
        EXPECT_EQ(phoneDelete(luid, &status), S_OK);
        EXPECT_EQ(status, 200);
    }
    ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);
    EXPECT_TRUE(noteNames().empty());
    EXPECT_TRUE(fs::exists(fs::path(notesFolder(alias_))));
}

TEST_F(SessionTest, FileNamesForNewPhoneNotesAvoidTakenNames) {
    writeNote(u"5.txt", "pc note");
    fs::create_directory(fs::path(note(u"6.txt")));
    plainSession();
    ASSERT_EQ(c_->synchronize(), S_OK);
    LONG status = 0;
    ASSERT_EQ(phoneAdd(u"5", "phone five", &status), S_OK);
    ASSERT_EQ(phoneAdd(u"6", "phone six", &status), S_OK);
    ASSERT_EQ(phoneAdd(u"", "empty luid", &status), S_OK);
    ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);
    EXPECT_EQ(readNote(u"5(2).txt"), "phone five");
    EXPECT_EQ(readNote(u"6(2).txt"), "phone six");
    EXPECT_EQ(readNote(u".txt"), "empty luid");
    EXPECT_EQ(readNote(u"5.txt"), "pc note");
}

TEST_F(SessionTest, LockedNoteStopsTheStartAndNothingIsQueuedTwice) {
    writeNote(u"a.txt", "a");
    writeNote(u"locked.txt", "l");
    plat::File holder;
    ASSERT_TRUE(holder.tryOpen(note(u"locked.txt"), plat::Access::Read,
                               plat::Disposition::OpenExisting, plat::Share::Exclusive));
    EXPECT_EQ(c_->synchronize(), E_FAIL);
    EXPECT_EQ(engine_.starts, 0);
    EXPECT_EQ(c_->lastSyncNum(), -1);
    EXPECT_TRUE(c_->sentJobs().empty()) << "what was handed over was taken back";
    EXPECT_EQ(engine_.withdrawn.size(), 1u);
    holder.close();
    size_t from = engine_.items.size();
    ASSERT_EQ(c_->synchronize(), S_OK);
    EXPECT_EQ(engine_.items.size(), from + 2);
}

TEST_F(SessionTest, ARefusedStartTakesBackWhatItHandedOverAndKeepsTheAnchors) {
    syncedAB();
    const int32_t anchor = c_->lastSyncNum();
    writeNote(u"c.txt", "c");
    engine_.startResult = E_FAIL;
    size_t from = engine_.items.size();
    EXPECT_EQ(c_->synchronize(), E_FAIL);
    ASSERT_EQ(engine_.items.size(), from + 1);
    EXPECT_THAT(engine_.withdrawn, ElementsAre(engine_.items.back().cmdId));
    EXPECT_TRUE(c_->sentJobs().empty());
    EXPECT_EQ(c_->lastSyncNum(), anchor);

    engine_.startResult = S_OK;
    from = engine_.items.size();
    ASSERT_EQ(c_->synchronize(), S_OK);
    EXPECT_EQ(engine_.items.size(), from + 1) << "c.txt once, nothing twice";
    EXPECT_EQ(c_->sentJobs().size(), 1u);
    EXPECT_EQ(toUtf8(engine_.lastAnchor), std::to_string(anchor))
        << "the phone's anchors still match";
    EXPECT_EQ(c_->lastSyncNum(), anchor + 1);
}

namespace {
bool failUnwritableNotes(plat::fault::Op op, const std::u16string& path) {
    return op == plat::fault::Op::Write && path.find(u"unwritable") != std::u16string::npos;
}
}  // namespace

TEST_F(SessionTest, APhoneNoteThatCannotBeWrittenLeavesNoTraceAndComesAgain) {
    syncedAB();
    ASSERT_EQ(c_->synchronize(), S_OK);
    LONG status = 0;
    plat::fault::setHook(failUnwritableNotes);
    EXPECT_EQ(phoneAdd(u"unwritable", "phone note", &status), E_FAIL);
    plat::fault::setHook(nullptr);
    EXPECT_EQ(status, 510);
    ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);
    EXPECT_EQ(prop(u"luid2file:unwritable"), u"<none>");
    EXPECT_EQ(prop(u"pcfilename:unwritable.txt"), u"<none>");

    reopen();  // a restart must not take it for a note that the PC deleted
    const size_t from = engine_.items.size();
    ASSERT_EQ(c_->synchronize(), S_OK);
    EXPECT_EQ(engine_.items.size(), from) << "no delete goes to the phone";
    ASSERT_EQ(phoneAdd(u"unwritable", "phone note", &status), S_OK) << "the phone sends it again";
    EXPECT_EQ(readNote(u"unwritable.txt"), "phone note");
    ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);
}

TEST_F(SessionTest, APendingPcDeleteKeepsItsNameAndNeverRemovesANoteMadeSince) {
    syncedAB();
    ASSERT_TRUE(fs::remove(fs::path(note(u"a.txt"))));
    ASSERT_TRUE(fs::remove(fs::path(note(u"b.txt"))));
    ASSERT_EQ(c_->synchronize(), S_OK);
    ASSERT_EQ(engine_.items.size(), 4u);
    const ULONG deleteA =
        engine_.items[2].luid == luidA_ ? engine_.items[2].cmdId : engine_.items[3].cmdId;
    const ULONG deleteB =
        engine_.items[2].luid == luidA_ ? engine_.items[3].cmdId : engine_.items[2].cmdId;
    // The phone adds a note whose LUID would give a.txt, and the user makes b.txt anew.
    LONG status = 0;
    ASSERT_EQ(phoneAdd(u"a", "new on the phone", &status), S_OK);
    writeNote(u"b.txt", "made again on the PC");
    ASSERT_EQ(cb()->ClientCmdStatus(deleteA, 200), S_OK);
    ASSERT_EQ(cb()->ClientCmdStatus(deleteB, 200), S_OK);
    ASSERT_EQ(cb()->SyncStatusFinished(), S_OK);

    EXPECT_EQ(prop(u"luid2file:a"), u"a(2).txt");
    EXPECT_EQ(readNote(u"a(2).txt"), "new on the phone");
    EXPECT_EQ(readNote(u"b.txt"), "made again on the PC");
    const size_t from = engine_.items.size();
    ASSERT_EQ(c_->synchronize(), S_OK);
    ASSERT_EQ(engine_.items.size(), from + 1);
    EXPECT_EQ(engine_.items.back().kind, FakeEngine::Item::Add);
    EXPECT_EQ(engine_.items.back().data, "made again on the PC");
}

TEST_F(SessionTest, ExportWritesTheStoredNotesAlsoWithATrailingSeparator) {
    syncedAB("stored a", "stored b");
    writeNote(u"a.txt", "edited since");  // the export gives what was exchanged
    test::TempDir out;
    ASSERT_EQ(c_->datafilesOut(out.path() + plat::kPathSeparator), S_OK);
    EXPECT_EQ(test::readFileBytes(out / u"a.txt"), "stored a");
    EXPECT_EQ(test::readFileBytes(out / u"b.txt"), "stored b");
    EXPECT_EQ(c_->datafilesOut(out / u"missing"), E_FAIL);
}

TEST_F(SessionTest, ExportSessionBlocksUntilTheEndAndFailsOnCancel) {
    engine_.script = [](vantrel::ISyncEngineCallback* cb) {
        cb->SyncStatusStarted();
        cb->SyncStatusFinished();
    };
    EXPECT_EQ(c_->exportFromDevice(), S_OK);
    engine_.join();

    writeNote(u"a.txt", "a");
    engine_.script = [](vantrel::ISyncEngineCallback* cb) {
        cb->SyncStatusStarted();
        cb->SyncStatusCanceled();
    };
    EXPECT_EQ(c_->exportFromDevice(), E_FAIL);
    engine_.join();
    EXPECT_TRUE(c_->sentJobs().empty()) << "the cancelled session's jobs are released";
    EXPECT_EQ(readNote(u"a.txt"), "a");

    engine_.script = [](vantrel::ISyncEngineCallback* cb) { cb->SyncStatusFailed(-5); };
    EXPECT_EQ(c_->exportFromDevice(), E_FAIL);
    engine_.join();
    engine_.startResult = E_UNEXPECTED;
    EXPECT_EQ(c_->exportFromDevice(), E_UNEXPECTED);
}

class ImportTest : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        // The phone takes everything the PC sends in a session run on the engine's thread.
        engine_.script = [this](vantrel::ISyncEngineCallback* cb) {
            engine_.acknowledge(seen_, cb);
            seen_ = engine_.items.size();
            cb->SyncStatusFinished();
        };
    }
    void collect(const std::u16string& itemName, const std::string& bytes, HRESULT expectCount) {
        EXPECT_EQ(c_->datafileIn(reinterpret_cast<const uint8_t*>(bytes.data()),
                                 static_cast<int32_t>(bytes.size()), itemName),
                  expectCount);
    }
    size_t seen_ = 0;
};

TEST_F(ImportTest, ItemNamesThatLeaveTheNotesFolderAreRefused) {
    collect(u"../outside.txt", "x", 1);
    EXPECT_EQ(c_->importToDevice(true, true), E_FAIL);
    EXPECT_FALSE(fs::exists(fs::path(phoneFolder(alias_)) / "outside.txt"));
    EXPECT_TRUE(noteNames().empty());
    EXPECT_EQ(engine_.starts, 0);
}

TEST_F(ImportTest, EmptyReplacingImportDeletesAllNotes) {
    writeNote(u"a.txt", "a");
    writeNote(u"b.txt", "b");
    EXPECT_EQ(c_->importToDevice(true, false), S_OK);  // sends both as adds
    engine_.join();
    EXPECT_EQ(c_->importToDevice(false, false), S_OK);
    engine_.join();
    EXPECT_TRUE(noteNames().empty());
    size_t deletes = 0;
    for (const auto& item : engine_.items) deletes += item.kind == FakeEngine::Item::Delete;
    EXPECT_EQ(deletes, 2u);
}

TEST_F(ImportTest, ASessionBetweenCollectingAndImportingLosesNothing) {
    writeNote(u"old.txt", "old");
    collect(u"A.txt", "collected", 1);
    EXPECT_EQ(c_->exportFromDevice(), S_OK);  // moves the anchor on
    engine_.join();
    EXPECT_EQ(c_->importToDevice(false, false), S_OK);
    engine_.join();
    EXPECT_THAT(noteNames(), ElementsAre(u"untitled.txt"));
    EXPECT_EQ(readNote(u"untitled.txt"), "collected");
}

// The import folder sits in the store's folder; a link there, or in it, must not make its
// removal delete what the link leads to.
TEST_F(ImportTest, RemovingTheImportFolderNeverFollowsALink) {
    test::TempDir outside;
    test::writeFileBytes(outside / u"keep.txt", "not the import's");
    const std::u16string folder =
        plat::joinPath(storeFolder(u"350000000000001"), u"tmp_importdatadir_-1");
    if (!test::makeSymlink(outside.path(), folder, true))
        GTEST_SKIP() << "no symbolic links on this system";
    collect(u"A.txt", "A", 1);  // a fresh import removes a leftover folder of its name
    EXPECT_EQ(test::readFileBytes(outside / u"keep.txt"), "not the import's");

    ASSERT_TRUE(test::makeSymlink(outside.path(), plat::joinPath(folder, u"linked"), true));
    EXPECT_EQ(c_->importToDevice(true, false), S_OK);
    engine_.join();
    EXPECT_EQ(readNote(u"untitled.txt"), "A");
    EXPECT_EQ(test::readFileBytes(outside / u"keep.txt"), "not the import's");
    EXPECT_FALSE(fs::exists(fs::symlink_status(toUtf8(folder))));
}

// Where the file system ignores case (Windows), the imported "A.txt" is written over the old
// "a.txt": that one file is the imported note now and must not go with the old notes.
TEST_F(ImportTest, ReplacingImportKeepsANoteWrittenOverAnOldOneOfAnotherCase) {
    writeNote(u"a.txt", "old");
    collect(u"A.txt", "imported", 1);
    EXPECT_EQ(c_->importToDevice(false, true), S_OK);
    engine_.join();
    const std::vector<std::u16string> names = noteNames();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(readNote(names[0]), "imported");
}

TEST_F(ImportTest, CancelledImportReturnsAFailure) {
    engine_.script = [](vantrel::ISyncEngineCallback* cb) { cb->SyncStatusCanceled(); };
    collect(u"A.txt", "A", 1);
    EXPECT_EQ(c_->importToDevice(true, false), E_FAIL);
    engine_.join();
    EXPECT_EQ(readNote(u"untitled.txt"), "A") << "the imported note stays for the next session";
}

}  // namespace
}  // namespace vt
