// The virtual phone as the module sees it: sessions through ISyncEngine with a recording sink
// in the module's place, and the phone's folder on disk.
#include "engines/virtual_phone/virtual_phone.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <list>

#include "platform/com_raii.h"
#include "platform/fault.h"
#include "platform/path.h"
#include "platform/text.h"
#include "tests/support/fakes.h"

namespace vt::engines {
namespace {

namespace fs = std::filesystem;
using test::FakeSink;
using testing::ElementsAre;
using K = FakeSink::Kind;

class VirtualPhoneTest : public ::testing::Test {
  protected:
    void SetUp() override { make({}); }
    void TearDown() override {
        drop();
        plat::fault::setHook(nullptr);
    }

    void make(const VirtualPhoneOptions& o) {
        drop();
        ASSERT_EQ(VirtualPhone::create(dir_.path(), o, &phone_), S_OK);
    }
    void drop() {
        if (!phone_) return;
        phone_->waitForSession();
        EXPECT_EQ(phone_->Release(), 0u);
        phone_ = nullptr;
    }

    FakeSink& sink() { return sinks_.emplace_back(); }
    HRESULT start(FakeSink& s, LONG alert, const std::u16string& last, const std::u16string& next) {
        unique_bstr store(u"Notes"), l(last), n(next);
        ULONG session = 0;
        return phone_->StartSync(alert, store.get(), store.get(), l.get(), n.get(), 0, &s,
                                 &session);
    }
    // One whole session; the PC asks two-way with anchors 0 and 1 unless told otherwise.
    SessionStats sync(FakeSink& s, LONG alert = 200, const std::u16string& last = u"0",
                      const std::u16string& next = u"1") {
        EXPECT_EQ(start(s, alert, last, next), S_OK);
        EXPECT_TRUE(phone_->waitForSession());
        return phone_->lastSession();
    }
    // A phone holding notes 1, 2, 3 that the PC has, after a first (slow) session.
    void synced(std::vector<std::string> texts = {"one", "two", "three"}) {
        for (size_t i = 0; i < texts.size(); ++i) write(std::u16string(1, u'a' + i), texts[i]);
        ASSERT_EQ(sync(sink(), 201, u"0", u"0").outcome, SessionOutcome::Finished);
    }

    // Runs one more two-way session; whether the phone had nothing to send in it (started,
    // alert, three packages, finished).
    bool quietSession(const std::u16string& last = u"1", const std::u16string& next = u"2") {
        FakeSink& s = sink();
        sync(s, 200, last, next);
        return s.calls().size() == 6u;
    }

    std::u16string path(const std::u16string& name) { return plat::joinPath(dir_.path(), name); }
    void write(const std::u16string& name, const std::string& bytes) {
        test::writeFileBytes(path(name), bytes);
    }
    std::optional<std::string> read(const std::u16string& name) {
        return test::readFileBytes(path(name));
    }
    std::vector<std::u16string> names() {
        std::vector<std::u16string> out;
        for (const auto& n : phone_->listNotes()) out.push_back(n.name);
        return out;
    }
    ULONG queue(PcCommand::Kind kind, const std::u16string& luid, const std::string& bytes = "") {
        unique_bstr store(u"Notes"), id(luid), type(u"text/plain"), empty(u"");
        auto v = test::bytesVariant(bytes);
        ULONG cmd = 0;
        HRESULT hr = kind == PcCommand::Add
                         ? phone_->AddItem(store.get(), id.get(), type.get(), empty.get(),
                                           empty.get(), *v.get(), &cmd)
                     : kind == PcCommand::Replace
                         ? phone_->ReplaceItem(store.get(), id.get(), type.get(), empty.get(),
                                               empty.get(), *v.get(), &cmd)
                         : phone_->DeleteItem(store.get(), id.get(), 0, 0, type.get(), &cmd);
        EXPECT_EQ(hr, S_OK);
        return cmd;
    }
    // Queues a PC add of "from pc" and runs a session that fails after the given callbacks.
    SessionStats unfinishedPcAdd(FakeSink& s, int failAfter) {
        queue(PcCommand::Add, u"L1", "from pc");
        VirtualPhoneOptions o;
        o.failAfter = failAfter;
        phone_->setOptions(o);
        SessionStats st = sync(s);
        phone_->setOptions({});
        return st;
    }
    std::string stateFile() {
        return test::readFileBytes(plat::joinPath(path(u".vphone"), u"state")).value_or("<none>");
    }
    static std::vector<std::u16string> luids(const std::vector<FakeSink::Call>& calls) {
        std::vector<std::u16string> out;
        for (const auto& c : calls) out.push_back(c.text);
        return out;
    }
    // Status codes by command id.
    static std::map<ULONG, LONG> statuses(FakeSink& s) {
        std::map<ULONG, LONG> out;
        for (const auto& c : s.calls(K::Status)) out[c.cmdId] = c.code;
        return out;
    }

    test::TempDir dir_;
    std::list<FakeSink> sinks_;  // outlive the phone's sessions
    VirtualPhone* phone_ = nullptr;
};

TEST_F(VirtualPhoneTest, FirstSessionIsASlowSyncSendingEveryNoteAsAnAdd) {
    write(u"shopping", "milk");
    write(u"todo", "call");
    FakeSink& s = sink();
    SessionStats st = sync(s, 201, u"0", u"0");
    EXPECT_THAT(s.kinds(), ElementsAre(K::Started, K::Alert, K::Add, K::Add, K::PackageSent,
                                       K::PackageGet, K::PackageSent, K::Finished));
    auto alert = s.calls(K::Alert).at(0);
    EXPECT_EQ(alert.code, 201);
    EXPECT_EQ(alert.text, u"0");
    EXPECT_EQ(alert.text2, u"0");
    auto adds = s.calls(K::Add);
    EXPECT_THAT(luids(adds), ElementsAre(u"1", u"2"));
    EXPECT_EQ(adds[0].data, "milk");
    EXPECT_TRUE(adds[0].byteArray);
    EXPECT_EQ(adds[1].data, "call");
    EXPECT_THAT(names(), ElementsAre(u"1", u"2"));
    EXPECT_EQ(st.sentAdds, 2);
    EXPECT_TRUE(st.stateSaved);

    // Nothing changed: the next session is two-way and quiet, anchored on the PC's last one.
    FakeSink& s2 = sink();
    sync(s2, 200, u"0", u"1");
    EXPECT_THAT(s2.kinds(), ElementsAre(K::Started, K::Alert, K::PackageSent, K::PackageGet,
                                        K::PackageSent, K::Finished));
    alert = s2.calls(K::Alert).at(0);
    EXPECT_EQ(alert.code, 200);
    EXPECT_EQ(alert.text, u"0");
    EXPECT_EQ(alert.text2, u"1");

    // The PC asking a slow sync gets every note again.
    FakeSink& s3 = sink();
    sync(s3, 201, u"0", u"0");
    EXPECT_EQ(s3.calls(K::Alert).at(0).code, 201);
    EXPECT_THAT(luids(s3.calls(K::Add)), ElementsAre(u"1", u"2"));
}

TEST_F(VirtualPhoneTest, TwoWaySessionSendsAddsReplacesAndDeletes) {
    synced();
    // An edit of the same size within the same second: only the content tells.
    const auto before = fs::last_write_time(fs::path(path(u"1")));
    write(u"1", "ONE");
    fs::last_write_time(fs::path(path(u"1")), before);
    fs::remove(fs::path(path(u"2")));
    write(u"fresh", "new note");

    FakeSink& s = sink();
    SessionStats st = sync(s);
    EXPECT_THAT(s.kinds(), ElementsAre(K::Started, K::Alert, K::Replace, K::Delete, K::Add,
                                       K::PackageSent, K::PackageGet, K::PackageSent, K::Finished));
    EXPECT_EQ(s.calls(K::Replace).at(0).text, u"1");
    EXPECT_EQ(s.calls(K::Replace).at(0).data, "ONE");
    EXPECT_EQ(s.calls(K::Delete).at(0).text, u"2");
    EXPECT_EQ(s.calls(K::Add).at(0).text, u"4");
    EXPECT_EQ(s.calls(K::Add).at(0).data, "new note");
    EXPECT_THAT(names(), ElementsAre(u"1", u"3", u"4"));
    EXPECT_EQ(st.sentAdds + st.sentReplaces + st.sentDeletes, 3);

    EXPECT_TRUE(quietSession());
}

TEST_F(VirtualPhoneTest, ANoteThatCannotBeReadIsNotTakenForDeleted) {
    synced();
    fs::remove(fs::path(path(u"2")));
    fs::create_directory(fs::path(path(u"2")));
    FakeSink& s = sink();
    sync(s);
    EXPECT_TRUE(s.calls(K::Delete).empty());
    EXPECT_FALSE(phone_->lastSession().error.empty());
}

TEST_F(VirtualPhoneTest, PcCommandsAreAppliedWithMapsAndStatuses) {
    synced();
    ULONG add = queue(PcCommand::Add, u"L7", "from pc");
    ULONG rep = queue(PcCommand::Replace, u"1", "uno");
    ULONG del = queue(PcCommand::Delete, u"2");
    ULONG rep404 = queue(PcCommand::Replace, u"99", "x");
    ULONG del404 = queue(PcCommand::Delete, u"98");
    EXPECT_EQ(add, 1u);

    FakeSink& s = sink();
    SessionStats st = sync(s);
    EXPECT_THAT(s.kinds(), ElementsAre(K::Started, K::Alert, K::PackageSent, K::PackageGet, K::Map,
                                       K::Status, K::Status, K::Status, K::Status, K::Status,
                                       K::PackageSent, K::Finished));
    auto map = s.calls(K::Map).at(0);
    EXPECT_EQ(map.text, u"4");
    EXPECT_EQ(map.text2, u"L7");
    EXPECT_EQ(statuses(s), (std::map<ULONG, LONG>{
                               {add, 201}, {rep, 200}, {del, 200}, {rep404, 404}, {del404, 404}}));
    EXPECT_THAT(names(), ElementsAre(u"1", u"3", u"4"));
    EXPECT_EQ(*read(u"1"), "uno");
    EXPECT_EQ(*read(u"4"), "from pc");
    EXPECT_EQ(st.appliedAdds + st.appliedReplaces + st.appliedDeletes, 3);
    EXPECT_EQ(st.notFound, 2);
    EXPECT_TRUE(phone_->queuedCommands().empty());

    // What the PC wrote is no change of the phone's.
    EXPECT_TRUE(quietSession());
}

TEST_F(VirtualPhoneTest, RefusedChangesAreSentAgainNextSession) {
    synced();
    write(u"1", "edited");
    fs::remove(fs::path(path(u"2")));
    write(u"new", "added");
    FakeSink& s = sink();
    s.respond = [](const FakeSink::Call& c, LONG* status) {
        if (c.kind == K::Alert) return S_OK;
        *status = c.kind == K::Replace ? 500 : c.kind == K::Delete ? 510 : 400;
        return c.kind == K::Add ? E_FAIL : S_OK;
    };
    SessionStats st = sync(s);
    EXPECT_EQ(st.refused, 3);

    FakeSink& s2 = sink();
    sync(s2, 200, u"1", u"2");
    EXPECT_THAT(luids(s2.calls(K::Replace)), ElementsAre(u"1"));
    EXPECT_THAT(luids(s2.calls(K::Delete)), ElementsAre(u"2"));
    EXPECT_THAT(luids(s2.calls(K::Add)), ElementsAre(u"4"));

    EXPECT_TRUE(quietSession(u"2", u"3")) << "nothing left to send";
}

TEST_F(VirtualPhoneTest, NewNotesNeverTakeTheNameOfAnotherNote) {
    write(u"5", "adopted as it is");
    write(u"x", "renamed");
    sync(sink(), 201, u"0", u"0");
    EXPECT_THAT(names(), ElementsAre(u"5", u"6"));

    // A LUID once deleted is never handed out again, even when a file takes its name.
    fs::remove(fs::path(path(u"5")));
    sync(sink());
    write(u"5", "back again");
    FakeSink& s = sink();
    sync(s, 200, u"1", u"2");
    EXPECT_THAT(luids(s.calls(K::Add)), ElementsAre(u"7"));
    EXPECT_EQ(*read(u"7"), "back again");
}

// Whole seconds, as the phone compares them.
void setTime(const std::u16string& file, fs::file_time_type t) {
    fs::last_write_time(fs::path(file), t);
}

TEST_F(VirtualPhoneTest, OnlyNotesWithChangedOrRecentTimesAreRead) {
    synced();
    const auto now = fs::file_time_type::clock::now();
    const auto old = now - std::chrono::hours(1), later = now + std::chrono::hours(1);
    setTime(path(u"1"), old);
    setTime(path(u"2"), later);
    FakeSink& s = sink();
    sync(s);
    EXPECT_THAT(luids(s.calls(K::Replace)), ElementsAre(u"1", u"2")) << "the times changed";

    // Same size and time as last sent: an old time is trusted without reading the note, a time
    // too close to the last look is not.
    write(u"1", "ONE");
    setTime(path(u"1"), old);
    write(u"2", "TWO");
    setTime(path(u"2"), later);
    FakeSink& s2 = sink();
    sync(s2, 200, u"1", u"2");
    EXPECT_THAT(luids(s2.calls(K::Replace)), ElementsAre(u"2"));
}

// A session that stored a PC add but ended before the PC had the map and the status (here a
// failure; in the crash test, the host killed): the PC sends the add again under a new local
// id, and the phone answers it with the stored note's LUID rather than a second copy.
TEST_F(VirtualPhoneTest, APcAddRepeatedAfterAnUnfinishedSessionTakesTheStoredNote) {
    synced();
    FakeSink& s = sink();
    // Started, alert, two progress calls: the map never comes.
    EXPECT_EQ(unfinishedPcAdd(s, 4).outcome, SessionOutcome::Failed);
    EXPECT_TRUE(s.calls(K::Map).empty());
    EXPECT_EQ(*read(u"4"), "from pc");

    write(u"5", "a phone note under a number never handed out");
    queue(PcCommand::Add, u"L2", "from pc");
    FakeSink& s2 = sink();
    SessionStats st = sync(s2);
    EXPECT_THAT(luids(s2.calls(K::Add)), ElementsAre(u"5")) << "4 is the PC's own note";
    auto maps = s2.calls(K::Map);
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].text, u"4");
    EXPECT_EQ(maps[0].text2, u"L2");
    EXPECT_EQ(st.appliedAdds, 1);
    EXPECT_THAT(names(), ElementsAre(u"1", u"2", u"3", u"4", u"5"));
    EXPECT_FALSE(fs::exists(fs::path(path(u".vphone/journal")))) << "the state supersedes it";

    EXPECT_TRUE(quietSession()) << "nothing left to send";
}

TEST_F(VirtualPhoneTest, AStoredPcAddThePcDoesNotRepeatGoesToItAsAnAddNextTime) {
    synced();
    unfinishedPcAdd(sink(), 4);

    // The session after waits for the PC's add; when none comes, the note is the phone's.
    FakeSink& s = sink();
    sync(s);
    EXPECT_TRUE(s.calls(K::Add).empty());
    FakeSink& s2 = sink();
    sync(s2, 200, u"1", u"2");
    auto adds = s2.calls(K::Add);
    ASSERT_EQ(adds.size(), 1u);
    EXPECT_EQ(adds[0].text, u"4");
    EXPECT_EQ(adds[0].data, "from pc");
}

TEST_F(VirtualPhoneTest, AnAnsweredPcAddOfAnUnfinishedSessionIsKnownAfterwards) {
    synced();
    FakeSink& s = sink();
    EXPECT_EQ(unfinishedPcAdd(s, 6).outcome, SessionOutcome::Failed);  // after map and status
    EXPECT_EQ(s.calls(K::Status).size(), 1u);

    EXPECT_TRUE(quietSession(u"0", u"1")) << "the PC has the note already";
    write(u"4", "edited on the phone");
    FakeSink& s3 = sink();
    sync(s3, 200, u"1", u"2");
    EXPECT_THAT(luids(s3.calls(K::Replace)), ElementsAre(u"4"));
}

bool failFolderFlush(plat::fault::Op op, const std::u16string& path) {
    return op == plat::fault::Op::Flush && path.find(u".vphone") == std::u16string::npos &&
           !fs::is_regular_file(fs::path(path));
}

bool failEveryFlush(plat::fault::Op op, const std::u16string&) {
    return op == plat::fault::Op::Flush;
}

TEST_F(VirtualPhoneTest, WrittenNotesAreFlushedOneByOneWithoutAFileSystemFlush) {
    synced();
    queue(PcCommand::Add, u"L1", "from pc");
    plat::fault::setHook(&failFolderFlush);
    SessionStats st = sync(sink());
    EXPECT_TRUE(st.stateSaved) << toUtf8(st.error);
    EXPECT_TRUE(st.error.empty());
}

TEST_F(VirtualPhoneTest, NotesThatCannotBeMadeDurableLeaveTheStateUnsaved) {
    synced();
    const std::string state = stateFile();
    queue(PcCommand::Add, u"L1", "from pc");
    plat::fault::setHook(&failEveryFlush);
    SessionStats st = sync(sink());
    plat::fault::setHook(nullptr);
    EXPECT_FALSE(st.stateSaved);
    EXPECT_FALSE(st.error.empty());
    EXPECT_EQ(stateFile(), state);

    // The PC had its answer: the note is its own, not a new one of the phone's.
    FakeSink& s = sink();
    sync(s);
    EXPECT_TRUE(s.calls(K::Add).empty());
}

TEST_F(VirtualPhoneTest, WithdrawnCommandsAreNotApplied) {
    synced();
    ULONG del1 = queue(PcCommand::Delete, u"1");
    ULONG del2 = queue(PcCommand::Delete, u"2");
    EXPECT_EQ(phone_->WithdrawItem(nullptr, del1), S_OK);
    EXPECT_EQ(phone_->WithdrawItem(nullptr, del1), S_FALSE);
    EXPECT_GT(queue(PcCommand::Replace, u"3", "three!"), del2) << "numbers are never reused";

    // The phone deleted note 2 as well: the PC takes its own delete back from inside the
    // callback, on the session thread.
    fs::remove(fs::path(path(u"2")));
    FakeSink& s = sink();
    s.onCall = [&](const FakeSink::Call& c) {
        if (c.kind == K::Delete) {
            EXPECT_EQ(phone_->WithdrawItem(nullptr, del2), S_OK);
        }
    };
    sync(s);
    EXPECT_EQ(statuses(s).size(), 1u);
    EXPECT_EQ(statuses(s).count(del2), 0u);
    EXPECT_THAT(names(), ElementsAre(u"1", u"3"));
    EXPECT_EQ(*read(u"3"), "three!");
}

TEST_F(VirtualPhoneTest, CommandsQueuedDuringASessionWaitForTheNext) {
    synced();
    FakeSink& s = sink();
    s.onCall = [&](const FakeSink::Call& c) {
        if (c.kind == K::Started) queue(PcCommand::Add, u"L1", "late");
    };
    sync(s);
    EXPECT_TRUE(s.calls(K::Map).empty());
    ASSERT_EQ(phone_->queuedCommands().size(), 1u);
    FakeSink& s2 = sink();
    sync(s2, 200, u"1", u"2");
    EXPECT_EQ(s2.calls(K::Map).size(), 1u);
}

TEST_F(VirtualPhoneTest, CancelStopsBeforeTheNextCallbackAndSavesNothing) {
    synced();
    const std::string state = stateFile();
    write(u"1", "edited");
    queue(PcCommand::Add, u"L1", "pc");
    FakeSink& s = sink();
    s.onCall = [&](const FakeSink::Call& c) {
        if (c.kind == K::Alert) {
            EXPECT_EQ(phone_->Cancel(0), S_OK);
        }
    };
    SessionStats st = sync(s);
    EXPECT_THAT(s.kinds(), ElementsAre(K::Started, K::Alert, K::Canceled));
    EXPECT_EQ(st.outcome, SessionOutcome::Cancelled);
    EXPECT_EQ(stateFile(), state);
    EXPECT_TRUE(phone_->queuedCommands().empty()) << "the session consumed the commands";
    EXPECT_EQ(phone_->Cancel(0), S_FALSE);

    FakeSink& s2 = sink();
    sync(s2, 200, u"1", u"2");
    EXPECT_THAT(luids(s2.calls(K::Replace)), ElementsAre(u"1"));
}

TEST_F(VirtualPhoneTest, CancelCutsALongPauseShort) {
    VirtualPhoneOptions o;
    o.delayMs = 60000;
    make(o);
    FakeSink& s = sink();
    ASSERT_EQ(start(s, 201, u"0", u"0"), S_OK);
    EXPECT_EQ(phone_->Cancel(3), S_OK);
    ASSERT_TRUE(s.waitForEnd());
    EXPECT_THAT(s.kinds(), ElementsAre(K::Canceled));
}

TEST_F(VirtualPhoneTest, RefuseStatusFaultRefusesTheNthCommand) {
    synced();
    VirtualPhoneOptions o;
    ASSERT_TRUE(parseVirtualPhoneOptions(u"refuse-status=2,refuse-code=510", &o, nullptr));
    phone_->setOptions(o);
    ULONG a = queue(PcCommand::Replace, u"1", "a");
    ULONG b = queue(PcCommand::Replace, u"2", "b");
    ULONG c = queue(PcCommand::Replace, u"3", "c");
    FakeSink& s = sink();
    SessionStats st = sync(s);
    EXPECT_EQ(statuses(s), (std::map<ULONG, LONG>{{a, 200}, {b, 510}, {c, 200}}));
    EXPECT_EQ(*read(u"2"), "two");
    EXPECT_EQ(st.refusedByPhone, 1);
}

TEST_F(VirtualPhoneTest, DropMapFaultLeavesOutTheNthMap) {
    VirtualPhoneOptions o;
    ASSERT_TRUE(parseVirtualPhoneOptions(u"drop-map=1,status-first=1", &o, nullptr));
    make(o);
    ULONG a = queue(PcCommand::Add, u"L1", "a");
    ULONG b = queue(PcCommand::Add, u"L2", "b");
    FakeSink& s = sink();
    sync(s, 201, u"0", u"0");
    EXPECT_EQ(statuses(s), (std::map<ULONG, LONG>{{a, 201}, {b, 201}}));
    auto maps = s.calls(K::Map);
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].text2, u"L2");
    auto k = s.kinds();
    EXPECT_THAT(std::vector<K>(k.begin() + 4, k.begin() + 7),
                ElementsAre(K::Status, K::Status, K::Map));
    EXPECT_THAT(names(), ElementsAre(u"1", u"2"));
}

TEST_F(VirtualPhoneTest, FailAfterFaultFailsTheSessionAndSavesNothing) {
    VirtualPhoneOptions o;
    ASSERT_TRUE(parseVirtualPhoneOptions(u"fail-after=3,fail-code=0x80040001", &o, nullptr));
    make(o);
    write(u"a", "x");
    write(u"b", "y");
    queue(PcCommand::Add, u"L1", "pc");
    FakeSink& s = sink();
    SessionStats st = sync(s, 201, u"0", u"0");
    EXPECT_THAT(s.kinds(), ElementsAre(K::Started, K::Alert, K::Add, K::Failed));
    EXPECT_EQ(s.calls(K::Failed).at(0).code, static_cast<LONG>(0x80040001));
    EXPECT_EQ(st.outcome, SessionOutcome::Failed);
    EXPECT_FALSE(st.stateSaved);
    EXPECT_EQ(stateFile(), "<none>");
    EXPECT_TRUE(phone_->queuedCommands().empty());
}

TEST_F(VirtualPhoneTest, CallbacksComeOneAtATimeOnOneThreadOfTheirOwn) {
    synced();
    write(u"1", "edited");
    queue(PcCommand::Add, u"L1", "pc");
    queue(PcCommand::Delete, u"3");
    FakeSink& s = sink();
    sync(s);
    auto calls = s.calls();
    ASSERT_FALSE(calls.empty());
    for (const auto& c : calls) {
        EXPECT_NE(c.thread, std::this_thread::get_id());
        EXPECT_EQ(c.thread, calls[0].thread);
    }
    EXPECT_FALSE(s.overlapped());
}

TEST_F(VirtualPhoneTest, ReferenceCountsAreExact) {
    FakeSink& s = sink();
    std::promise<void> release;
    std::shared_future<void> go = release.get_future().share();
    s.onCall = [go](const FakeSink::Call& c) {
        if (c.kind == K::Started) go.wait();
    };
    ASSERT_EQ(start(s, 201, u"0", u"0"), S_OK);
    EXPECT_EQ(s.refs(), 1);
    FakeSink& other = sink();
    EXPECT_EQ(start(other, 200, u"0", u"1"), E_UNEXPECTED);
    EXPECT_EQ(other.refs(), 0);

    // The phone's last reference goes while the session runs; the session keeps it alive.
    vantrel::ISyncEngine* engine = nullptr;
    ASSERT_EQ(phone_->QueryInterface(vantrel::IID_ISyncEngine, reinterpret_cast<void**>(&engine)),
              S_OK);
    EXPECT_EQ(phone_->Release(), 2u);  // the session's own and the query's
    phone_ = nullptr;
    release.set_value();
    ASSERT_TRUE(s.waitForEnd());
    engine->Release();
    for (int i = 0; i < 500 && s.refs() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(s.refs(), 0);
}

TEST_F(VirtualPhoneTest, BytesTravelUnchanged) {
    const std::string odd("line\r\nnext\r\n\xff\xfe\x00\x80 end", 20);
    write(u"a", odd);
    write(u"b", "");
    queue(PcCommand::Add, u"L1", odd);
    unique_bstr id(u"L2");
    unique_variant empty;
    ULONG cmd = 0;
    EXPECT_EQ(phone_->AddItem(nullptr, id.get(), nullptr, nullptr, nullptr, *empty.get(), &cmd),
              S_OK);
    FakeSink& s = sink();
    sync(s, 201, u"0", u"0");
    auto adds = s.calls(K::Add);
    ASSERT_EQ(adds.size(), 2u);
    EXPECT_EQ(adds[0].data, odd);
    EXPECT_TRUE(adds[1].byteArray && adds[1].data.empty()) << "an empty note is an empty array";
    EXPECT_EQ(*read(u"3"), odd);
    EXPECT_EQ(*read(u"4"), "");
}

TEST_F(VirtualPhoneTest, RefusesBadArgumentsAndAnswersReservedSlots) {
    unique_variant shifted;
    shifted->vt = VT_ARRAY | VT_UI1;
    shifted->parray = SafeArrayCreateVector(VT_UI1, 1, 3);
    ULONG cmd = 0;
    unique_bstr id(u"L1");
    EXPECT_EQ(phone_->AddItem(nullptr, id.get(), nullptr, nullptr, nullptr, *shifted.get(), &cmd),
              E_INVALIDARG);
    EXPECT_EQ(phone_->DeleteItem(nullptr, id.get(), 0, 0, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(phone_->StartSync(200, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr),
              E_POINTER);
    EXPECT_TRUE(phone_->queuedCommands().empty());
    EXPECT_EQ(phone_->Reserved3(), E_NOTIMPL);
    EXPECT_EQ(phone_->Reserved16(), E_NOTIMPL);
    VirtualPhone* p = nullptr;
    write(u"file", "x");
    EXPECT_EQ(VirtualPhone::create(path(u"file"), {}, &p), E_FAIL);
    EXPECT_EQ(p, nullptr);
}

}  // namespace
}  // namespace vt::engines
