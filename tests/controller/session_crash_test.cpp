// A session cut off at every write it makes: afterwards the controller still opens, the next
// session starts, nothing on the PC is lost, and one more session settles everything.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "controller/notes_controller.h"
#include "controller/notify_converter.h"
#include "platform/fault.h"
#include "platform/find.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/text.h"
#include "tests/support/fakes.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using test::FakeEngine;

const std::u16string kImei = u"350000000000001";

int g_writesLeft = 0;
bool crashAtWrite(plat::fault::Op, const std::u16string&) {
    if (--g_writesLeft == 0) plat::exitProcessNow(99);
    return false;
}

class SessionCrashTest : public test::PhoneSandbox {
  protected:
    std::u16string note(const std::u16string& name) {
        return plat::joinPath(notesFolder(alias_), name);
    }

    static std::u16string prop(CNotesController& c, const std::u16string& key) {
        CPropertyValue* v = c.properties()->get(key);
        std::u16string s;
        if (v) v->getStringValue(s);
        return s;
    }

    std::set<std::u16string> noteNames() {
        std::set<std::u16string> names;
        for (const auto& e : plat::findFiles(note(u"*.txt")))
            if (!e.isDirectory) names.insert(e.name);
        return names;
    }

    // The session that gets cut: PC changes were made beforehand; the phone adds, replaces
    // and deletes a note of its own.
    void session(const std::u16string& replaceLuid, const std::u16string& deleteLuid) {
        FakeEngine engine;
        CNotesController c(kImei, alias_, 1, &engine);
        ASSERT_EQ(c.synchronize(), S_OK);
        auto* cb = engine.callback();
        LONG status = 0;
        auto phoneNote = test::bytesVariant("new on the phone");
        cb->ClientCmdAddItem(0, 1, 0, vt::ole(u"phone-new"), 0, 0, 0, *phoneNote.get(), &status);
        auto replaced = test::bytesVariant("replaced on the phone");
        cb->ClientCmdReplaceItem(0, 2, 0, toOleStr(replaceLuid), 0, 0, 0, *replaced.get(), &status);
        cb->ClientCmdDeleteItem(0, 3, 0, toOleStr(deleteLuid), 0, 0, 0, &status);
        engine.acknowledge(0);
        cb->SyncStatusFinished();
        // A cut after this point must not find a delivery thread still unjoined.
        ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));
    }
};

TEST_F(SessionCrashTest, EveryWriteOfASessionEndCanBeCutOff) {
    if (!plat::childProcessesSupported()) GTEST_SKIP() << "no child processes here";

    // A phone in step with four notes, then PC edits waiting for the next session.
    std::u16string keepLuid, phoneEditsLuid, phoneDeletesLuid;
    {
        FakeEngine engine;
        CNotesController c(kImei, alias_, 1, &engine);
        for (const char16_t* n : {u"keep.txt", u"pc-edits.txt", u"phone-edits.txt",
                                  u"phone-deletes.txt", u"pc-deletes.txt"})
            test::writeFileBytes(note(n), "original");
        ASSERT_EQ(c.synchronize(), S_OK);
        engine.acknowledge(0);
        ASSERT_EQ(engine.callback()->SyncStatusFinished(), S_OK);
        phoneEditsLuid = prop(c, u"pcfilename:phone-edits.txt");
        phoneDeletesLuid = prop(c, u"pcfilename:phone-deletes.txt");
    }
    test::writeFileBytes(note(u"pc-edits.txt"), "edited on the pc");
    fs::path edited(note(u"pc-edits.txt"));
    fs::last_write_time(edited, fs::last_write_time(edited) + std::chrono::seconds(5));
    fs::remove(fs::path(note(u"pc-deletes.txt")));
    test::writeFileBytes(note(u"pc-new.txt"), "new on the pc");
    ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));

    test::TempDir snapshot;
    const fs::path home(home_.path()), saved(snapshot.path());
    fs::copy(home, saved, fs::copy_options::recursive | fs::copy_options::overwrite_existing);

    int cuts = 0;
    for (int target = 1; target < 500; ++target) {
        fs::remove_all(home);
        fs::copy(saved, home, fs::copy_options::recursive);
        int code = plat::runInChild([&] {
            g_writesLeft = target;
            plat::fault::setHook(crashAtWrite);
            session(phoneEditsLuid, phoneDeletesLuid);
            return 0;
        });
        if (code == 0) break;  // the session completed before its target-th write
        ASSERT_EQ(code, 99) << "cut at write " << target;
        ++cuts;

        FakeEngine engine;
        CNotesController c(kImei, alias_, 1, &engine);
        const auto names = noteNames();
        for (const char16_t* n : {u"keep.txt", u"pc-edits.txt", u"phone-edits.txt", u"pc-new.txt"})
            EXPECT_TRUE(names.count(n)) << "note lost after a cut at write " << target;
        auto edits = test::readFileBytes(note(u"pc-edits.txt"));
        EXPECT_EQ(edits, "edited on the pc");

        ASSERT_EQ(c.synchronize(), S_OK)
            << "the next session must start after a cut at write " << target;
        engine.acknowledge(0);
        engine.callback()->SyncStatusFinished();
        size_t settled = engine.items.size();
        ASSERT_EQ(c.synchronize(), S_OK);
        std::string extra;
        for (size_t i = settled; i < engine.items.size(); ++i)
            extra +=
                " " + std::to_string(engine.items[i].kind) + ":" + toUtf8(engine.items[i].luid);
        EXPECT_EQ(engine.items.size(), settled)
            << "a further session still finds changes (cut " << target << "):" << extra;
        engine.callback()->SyncStatusFinished();
        ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));
    }
    EXPECT_GT(cuts, 10);
    RecordProperty("cuts", cuts);
}

// Ends the process right after the note file of the phone's add "landed" appears, as a kill
// between the file and the session end would.
bool crashOnceTheNoteAppears(plat::fault::Op op, const std::u16string& path) {
    static constexpr std::u16string_view kTemp = u".part";
    if (op != plat::fault::Op::Rename || path.find(u"landed") == std::u16string::npos ||
        path.size() < kTemp.size() ||
        path.compare(path.size() - kTemp.size(), kTemp.size(), kTemp) != 0)
        return false;
    fs::rename(fs::path(toUtf8(path)),
               fs::path(toUtf8(path.substr(0, path.size() - kTemp.size()))));
    plat::exitProcessNow(99);
    return false;
}

// The mapping of a phone's note is on record before its file appears: after a crash the file
// is the phone's note, not a new PC note that would go back to the phone as a second copy.
TEST_F(SessionCrashTest, APhoneNoteWhoseFileAppearedBeforeACrashIsNotSentBack) {
    if (!plat::childProcessesSupported()) GTEST_SKIP() << "no child processes here";
    int code = plat::runInChild([&] {
        FakeEngine engine;
        CNotesController c(kImei, alias_, 1, &engine);
        if (c.synchronize() != S_OK) return 1;
        LONG status = 0;
        auto bytes = test::bytesVariant("from the phone");
        plat::fault::setHook(crashOnceTheNoteAppears);
        engine.callback()->ClientCmdAddItem(0, 1, 0, vt::ole(u"landed"), 0, 0, 0, *bytes.get(),
                                            &status);
        return 2;  // the hook ends the process before this
    });
    ASSERT_EQ(code, 99);
    ASSERT_EQ(test::readFileBytes(note(u"landed.txt")), "from the phone");

    FakeEngine engine;
    CNotesController c(kImei, alias_, 1, &engine);
    EXPECT_EQ(prop(c, u"luid2file:landed"), u"landed.txt");
    ASSERT_EQ(c.synchronize(), S_OK);
    for (const auto& item : engine.items)
        EXPECT_NE(item.kind, FakeEngine::Item::Add) << "the phone's note went back as a new note";
    engine.callback()->SyncStatusFinished();
    ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));
}

}  // namespace
}  // namespace vt
