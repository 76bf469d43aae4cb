// End-to-end tests of the host through the really loaded module: registration, sessions in
// both directions, conflicts, deletes, export, read-out, import in every mode, two phones in one
// process, and the host's answers to bad input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "host/commands.h"
#include "host/demo.h"
#include "host/module_host.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "tests/e2e/e2e_support.h"

namespace vt::test {
namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::UnorderedElementsAre;

constexpr char16_t kClsid[] = u"{1C7DB2E8-83AA-4288-81BE-5A46D1F10DDE}";

plat::RegKey hklm() {
    return plat::RegKey::root(plat::RegRoot::LocalMachine);
}
plat::RegKey hkcr() {
    return plat::RegKey::root(plat::RegRoot::ClassesRoot);
}

bool keyExists(const plat::RegKey& hive, const std::u16string& path) {
    plat::RegKey k;
    return hive.open(path, &k) == plat::kErrorSuccess;
}

std::u16string stringValue(const plat::RegKey& hive, const std::u16string& path,
                           const std::u16string& name) {
    plat::RegKey k;
    std::u16string v;
    if (hive.open(path, &k) != plat::kErrorSuccess || k.queryString(name, &v) != 0)
        return u"<none>";
    return v;
}

using HostTest = HostE2ETest;

// ---- registration and loading ----

TEST_F(HostTest, RegistrationLeadsFromTheDataStoreToTheModule) {
    host::PluginLocation loc;
    std::u16string error;
    ASSERT_TRUE(host::findPlugin(u"Notes", &loc, &error)) << toUtf8(error);
    EXPECT_EQ(loc.modulePath, host::defaultModulePath());
    EXPECT_EQ(loc.clsidText, kClsid);
    EXPECT_EQ(loc.mimeType, u"text/plain");
    const std::u16string clsidKey = std::u16string(u"CLSID\\") + kClsid;
    EXPECT_EQ(stringValue(hkcr(), clsidKey + u"\\InprocServer32", u"ThreadingModel"), u"Apartment");
    EXPECT_EQ(stringValue(hkcr(), clsidKey + u"\\ProgID", u""), u"Vantrel.NotesSml.1");
    EXPECT_EQ(stringValue(hkcr(), u"Vantrel.NotesSml\\CurVer", u""), u"Vantrel.NotesSml.1");
}

TEST_F(HostTest, UnregisteringTheOnlyPluginRemovesTheFamilyKey) {
    CommandRun r = run({u"unregister"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(keyExists(hklm(), u"SOFTWARE\\Orvane\\MorVex\\SmlPlugins"));
    EXPECT_TRUE(keyExists(hklm(), u"SOFTWARE\\Orvane\\MorVex"));
    EXPECT_FALSE(keyExists(hkcr(), std::u16string(u"CLSID\\") + kClsid));
    EXPECT_FALSE(keyExists(hkcr(), u"Vantrel.NotesSml"));

    r = run({u"unregister"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("nothing to unregister"));
    r = run({u"sync"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("no plug-in is registered"));
}

TEST_F(HostTest, UnregisteringKeepsTheFamilyKeyForAnotherPlugin) {
    plat::RegKey other;
    ASSERT_EQ(hklm().create(u"SOFTWARE\\Orvane\\MorVex\\SmlPlugins\\Contacts", &other), 0);
    ASSERT_EQ(other.setString(u"", u"{00000000-0000-0000-0000-000000000001}"), 0);
    ASSERT_EQ(run({u"unregister"}).code, 0);
    EXPECT_FALSE(keyExists(hklm(), u"SOFTWARE\\Orvane\\MorVex\\SmlPlugins\\Notes"));
    EXPECT_TRUE(keyExists(hklm(), u"SOFTWARE\\Orvane\\MorVex\\SmlPlugins\\Contacts"));
}

TEST_F(HostTest, UnregisteringWithoutTheFamilyKeySucceeds) {
    plat::RegKey morvex;
    ASSERT_EQ(hklm().open(u"SOFTWARE\\Orvane\\MorVex", &morvex, true), 0);
    ASSERT_EQ(morvex.deleteTree(u"SmlPlugins"), 0);
    CommandRun r = run({u"unregister", u"--module", host::defaultModulePath()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(keyExists(hkcr(), std::u16string(u"CLSID\\") + kClsid));
}

TEST_F(HostTest, ModuleStaysLoadedWhileAnObjectLives) {
    std::u16string error;
    std::unique_ptr<host::ModuleHost> module = host::ModuleHost::open(u"Notes", &error);
    ASSERT_TRUE(module) << toUtf8(error);
    {
        com_ptr<vantrel::ISyncInitialize> object;
        ASSERT_EQ(module->createObject(&object), S_OK);
        EXPECT_EQ(module->canUnloadNow(), S_FALSE);
    }
    EXPECT_EQ(module->canUnloadNow(), S_OK);
}

TEST_F(HostTest, AModuleThatDoesNotLoadIsRefusedAndTheRegistrationKept) {
    const std::u16string fake = home_ / u"fake.so";
    writeFileBytes(fake, "not a shared library");
    CommandRun r = run({u"register", fake});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("does not load"));
    r = run({u"register", home_ / u"missing.so"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("does not exist"));
    host::PluginLocation loc;
    std::u16string error;
    ASSERT_TRUE(host::findPlugin(u"Notes", &loc, &error));
    EXPECT_EQ(loc.modulePath, host::defaultModulePath());

    // A registration that points at something else than a module.
    writePc(u"phone", u"kept.txt", "kept");
    plat::RegKey server;
    ASSERT_EQ(hkcr().open(std::u16string(u"CLSID\\") + kClsid + u"\\InprocServer32", &server, true),
              0);
    ASSERT_EQ(server.setString(u"", fake), 0);
    r = run({u"sync"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("does not load"));
    EXPECT_THAT(pcTexts(), ElementsAre("kept"));
}

TEST_F(HostTest, TheObjectIsCreatedByProgIdWithoutThePluginEntry) {
    // Without the SmlPlugins entry only the ProgID leads to the class.
    ASSERT_EQ(plat::RegKey::root(plat::RegRoot::LocalMachine)
                  .deleteTree(u"SOFTWARE\\Orvane\\MorVex\\SmlPlugins"),
              0);
    writePc(u"phone", u"a.txt", "from the PC");
    EXPECT_EQ(run({u"sync"}).code, 1);
    CommandRun r = run({u"sync", u"--progid", u"Vantrel.NotesSml"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(phoneTexts(), ElementsAre("from the PC"));
    r = run({u"sync", u"--progid", u"Vantrel.Nothing"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("no class is registered under the ProgID \"Vantrel.Nothing\""));
}

// ---- sessions ----

TEST_F(HostTest, FirstSyncIsSlowAndCarriesNotesBothWays) {
    writePc(u"phone", u"a.txt", "PC note a");
    writePc(u"phone", u"b.txt", "PC note b");
    writePhone(u"phone", u"x", "phone note x");
    writePhone(u"phone", u"y", "phone note y");
    host::SessionReport r = syncOnce(setup());
    EXPECT_EQ(r.stats.alert, vantrel::kAlertSlowSync);
    EXPECT_EQ(r.stats.sentAdds, 2);
    EXPECT_EQ(r.stats.appliedAdds, 2);
    EXPECT_THAT(pcTexts(), ElementsAre("PC note a", "PC note b", "phone note x", "phone note y"));
    EXPECT_EQ(phoneTexts(), pcTexts());

    r = syncOnce(setup());
    EXPECT_EQ(r.stats.alert, vantrel::kAlertTwoWay);
    EXPECT_EQ(r.stats.sentAdds + r.stats.sentReplaces + r.stats.sentDeletes, 0);
    EXPECT_EQ(r.stats.appliedAdds + r.stats.appliedReplaces + r.stats.appliedDeletes, 0);
}

TEST_F(HostTest, EditsAddsAndDeletesOnBothSidesMeet) {
    writePc(u"phone", u"a.txt", "a1");
    writePc(u"phone", u"b.txt", "b1");
    writePc(u"phone", u"c.txt", "c1");
    writePhone(u"phone", u"x", "x1");
    writePhone(u"phone", u"y", "y1");
    writePhone(u"phone", u"z", "z1");
    ASSERT_EQ(run({u"sync"}).code, 0);

    writePc(u"phone", u"a.txt", "a2");
    removePc(u"phone", u"b.txt");
    writePc(u"phone", u"d.txt", "d1");
    writePhone(u"phone", phoneNameOf(u"phone", "y1"), "y2");
    removePhone(u"phone", phoneNameOf(u"phone", "z1"));
    writePhone(u"phone", u"w", "w1");
    CommandRun r = run({u"sync"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_THAT(pcTexts(), ElementsAre("a2", "c1", "d1", "w1", "x1", "y2"));
    EXPECT_EQ(phoneTexts(), pcTexts());
    EXPECT_THAT(r.out, HasSubstr("sync finished"));
}

TEST_F(HostTest, AConflictKeepsThePcVersionOnBothSides) {
    writePc(u"phone", u"shared.txt", "base");
    ASSERT_TRUE(syncOnce(setup()).ok);
    writePc(u"phone", u"shared.txt", "PC version");
    writePhone(u"phone", phoneNameOf(u"phone", "base"), "phone version");
    host::SessionReport r = syncOnce(setup());
    EXPECT_EQ(r.stats.conflicts, 1);
    EXPECT_THAT(pcTexts(), ElementsAre("PC version"));
    EXPECT_THAT(phoneTexts(), ElementsAre("PC version"));
}

TEST_F(HostTest, DeletesOnBothSidesOfTheSameNoteLeaveItGone) {
    writePc(u"phone", u"gone.txt", "gone");
    writePc(u"phone", u"stays.txt", "stays");
    ASSERT_TRUE(syncOnce(setup()).ok);
    removePc(u"phone", u"gone.txt");
    removePhone(u"phone", phoneNameOf(u"phone", "gone"));
    ASSERT_TRUE(syncOnce(setup()).ok);
    EXPECT_THAT(pcTexts(), ElementsAre("stays"));
    EXPECT_THAT(phoneTexts(), ElementsAre("stays"));
}

TEST_F(HostTest, ExportRunsOneWholeSession) {
    writePc(u"phone", u"pc.txt", "from the PC");
    writePhone(u"phone", u"p", "from the phone");
    CommandRun r = run({u"export"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("export finished"));
    EXPECT_THAT(pcTexts(), ElementsAre("from the PC", "from the phone"));
    EXPECT_EQ(phoneTexts(), pcTexts());
}

TEST_F(HostTest, ReadOutWritesTheNotesAsLastExchanged) {
    writePc(u"phone", u"note.txt", "exchanged");
    ASSERT_EQ(run({u"sync"}).code, 0);
    writePc(u"phone", u"note.txt", "edited since");
    const std::u16string out = home_ / u"out";
    CommandRun r = run({u"read-out", out});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(readFileBytes(plat::joinPath(out, u"note.txt")), "exchanged");
}

TEST_F(HostTest, AFailedCancelledOrOverlongSessionExitsNonZeroAndLosesNothing) {
    writePc(u"phone", u"pc.txt", "from the PC");
    writePhone(u"phone", u"p", "from the phone");
    CommandRun r = run({u"sync", u"--phone-options", u"fail-after=4"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.out, HasSubstr("sync failed (0x80004005)"));
    r = run({u"export", u"--phone-options", u"cancel-after=4"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.out, HasSubstr("cancelled"));
    r = run({u"sync", u"--timeout", u"1", u"--phone-options", u"delay-ms=400"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.out, HasSubstr("took longer than 1 s"));
    r = run({u"sync", u"--phone-options", u"state-error=0x80004005"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.out, HasSubstr("refused to start the session"));

    ASSERT_EQ(run({u"sync"}).code, 0);
    EXPECT_THAT(pcTexts(), ElementsAre("from the PC", "from the phone"));
    EXPECT_EQ(phoneTexts(), pcTexts());
}

// ---- import ----

class ImportTest : public HostE2ETest {
  protected:
    void SetUp() override {
        HostE2ETest::SetUp();
        writePc(u"phone", u"old.txt", "old note");
        ASSERT_TRUE(syncOnce(setup()).ok);
        one_ = home_ / u"one.txt";
        writeFileBytes(one_, "imported one");
        sameName_ = home_ / u"old.txt";
        writeFileBytes(sameName_, "imported old");
    }
    void expectBothSides(std::vector<std::string> texts) {
        std::sort(texts.begin(), texts.end());
        EXPECT_EQ(pcTexts(), texts);
        EXPECT_EQ(phoneTexts(), texts);
    }
    std::u16string one_, sameName_;
};

TEST_F(ImportTest, AppendsUnderNeutralNames) {
    CommandRun r = run({u"import", one_, sameName_});
    ASSERT_EQ(r.code, 0) << r.err;
    auto files = pcFiles();
    EXPECT_EQ(files[u"old.txt"], "old note");
    EXPECT_EQ(files[u"untitled.txt"], "imported one");
    EXPECT_EQ(files[u"untitled(2).txt"], "imported old");
    expectBothSides({"old note", "imported one", "imported old"});
}

TEST_F(ImportTest, ReplaceDropsTheOldNotesOnBothSides) {
    ASSERT_EQ(run({u"import", u"--replace", one_}).code, 0);
    EXPECT_THAT(pcFiles(), ElementsAre(std::pair<const std::u16string, std::string>(
                               u"untitled.txt", "imported one")));
    expectBothSides({"imported one"});
}

TEST_F(ImportTest, ItemOverwriteGivesTheNotesTheirNames) {
    const std::u16string memo = home_ / u"memo";  // no .txt: the item name gets it
    writeFileBytes(memo, "memo text");
    ASSERT_EQ(run({u"import", u"--item-overwrite", sameName_, memo}).code, 0);
    auto files = pcFiles();
    EXPECT_EQ(files[u"old.txt"], "imported old");
    EXPECT_EQ(files[u"memo.txt"], "memo text");
    expectBothSides({"imported old", "memo text"});
}

TEST_F(ImportTest, ReplaceWithItemOverwriteKeepsOnlyTheImport) {
    writePc(u"phone", u"other.txt", "other");
    ASSERT_TRUE(syncOnce(setup()).ok);
    ASSERT_EQ(run({u"import", u"--replace", u"--item-overwrite", one_, sameName_}).code, 0);
    auto files = pcFiles();
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(files[u"one.txt"], "imported one");
    EXPECT_EQ(files[u"old.txt"], "imported old");
    expectBothSides({"imported one", "imported old"});
}

TEST_F(ImportTest, AnEmptyOrMissingFileChangesNothing) {
    const std::u16string empty = home_ / u"empty.txt";
    writeFileBytes(empty, "");
    CommandRun r = run({u"import", one_, empty});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("is empty"));
    r = run({u"import", one_, home_ / u"missing.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("nothing was imported"));
    expectBothSides({"old note"});
}

// ---- several phones ----

TEST_F(HostTest, TwoPhonesSynchroniseInOneProcess) {
    writePc(u"a", u"a.txt", "PC a");
    writePc(u"b", u"b.txt", "PC b");
    writePhone(u"a", u"n", "phone a");
    writePhone(u"b", u"n", "phone b");
    CommandRun r = run({u"sync", u"--imei", u"111", u"--alias", u"a", u"--phone", store(u"a"),
                        u"--imei", u"IMEI:222", u"--alias", u"b", u"--phone", store(u"b")});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_THAT(pcTexts(u"a"), ElementsAre("PC a", "phone a"));
    EXPECT_THAT(pcTexts(u"b"), ElementsAre("PC b", "phone b"));
    EXPECT_EQ(phoneTexts(u"a"), pcTexts(u"a"));
    EXPECT_EQ(phoneTexts(u"b"), pcTexts(u"b"));

    writePhone(u"b", u"m", "phone b 2");
    r = run({u"sync", u"--all"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(pcTexts(u"b"), ElementsAre("PC b", "phone b", "phone b 2"));
    r = run({u"status"});
    EXPECT_THAT(r.out, HasSubstr("Phones known: 2"));
    EXPECT_THAT(r.out, HasSubstr("IMEI 222"));
}

TEST_F(HostTest, ASecondObjectForTheSamePhoneIsRefused) {
    std::u16string error;
    std::shared_ptr<host::ModuleHost> module = host::ModuleHost::open(u"Notes", &error);
    ASSERT_TRUE(module) << toUtf8(error);
    auto first = host::PhoneLink::connect(module, setup(u"a", u"IMEI:42"), &error);
    ASSERT_TRUE(first) << toUtf8(error);
    auto second = host::PhoneLink::connect(module, setup(u"b", u"42"), &error);
    EXPECT_FALSE(second);
    EXPECT_THAT(toUtf8(error), HasSubstr("already connected"));
    first.reset();
    EXPECT_TRUE(host::PhoneLink::connect(module, setup(u"b", u"42"), &error)) << toUtf8(error);
}

// ---- bad input ----

TEST_F(HostTest, AnUnknownPhoneOrAnotherAliasIsAClearError) {
    CommandRun r = run({u"read-out", home_ / u"out", u"--imei", u"999"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("unknown phone"));
    EXPECT_EQ(run({u"status", u"--imei", u"999"}).code, 1);

    ASSERT_EQ(run({u"sync"}).code, 0);
    r = run({u"sync", u"--alias", u"other"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("is known as 'phone'"));
}

TEST_F(HostTest, RootMustBeSetAndExist) {
    writePhone(u"phone", u"p", "phone note");
    ASSERT_EQ(host::removeSetting(host::settings()[0]), 0);
    CommandRun r = run({u"sync"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("\"Root\") is not set"));
    ASSERT_EQ(host::writeSetting(host::settings()[0], home_ / u"nowhere"), 0);
    r = run({u"sync"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("does not exist"));
    EXPECT_THAT(phoneTexts(), ElementsAre("phone note"));
}

TEST_F(HostTest, AMissingPhoneFolderIsCreated) {
    CommandRun r = run({u"sync"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("created the folder"));
    EXPECT_TRUE(fs::is_directory(toUtf8(pcFolder())));
}

TEST_F(HostTest, ANotesFolderThatIsAFileIsRefused) {
    ASSERT_EQ(host::makeFolders(plat::joinPath(root(), u"phone")), 0);
    writeFileBytes(pcFolder(), "a file where the notes folder belongs");
    CommandRun r = run({u"sync"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("not a folder"));
}

TEST_F(HostTest, AReadOnlyNotesFolderIsRefusedAndNothingLost) {
    writePc(u"phone", u"a.txt", "a");
    writePhone(u"phone", u"p", "p");
    ASSERT_EQ(run({u"sync"}).code, 0);
    writePhone(u"phone", u"q", "q");
    fs::permissions(toUtf8(pcFolder()),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const bool enforced = !fs::exists(toUtf8(pcFolder())) || [&] {
        std::u16string probe = plat::joinPath(pcFolder(), u"probe");
        plat::File f;
        bool can = f.tryOpen(probe, plat::Access::Write, plat::Disposition::CreateNew,
                             plat::Share::DenyNone);
        if (can) {
            f.close();
            plat::removeFile(probe);
        }
        return !can;
    }();
    if (!enforced) {
        fs::permissions(toUtf8(pcFolder()), fs::perms::owner_write, fs::perm_options::add);
        GTEST_SKIP() << "folder permissions are not enforced for this user (root)";
    }
    CommandRun r = run({u"sync"});
    fs::permissions(toUtf8(pcFolder()), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("can't be written"));
    EXPECT_THAT(pcTexts(), ElementsAre("a", "p"));
    EXPECT_THAT(phoneTexts(), ElementsAre("a", "p", "q"));
}

TEST_F(HostTest, ADamagedRegistryFileIsReportedAndLeftAlone) {
    if (!plat::registryIsTextFile()) GTEST_SKIP() << "the registry is the system's, not a file";
    writePc(u"phone", u"a.txt", "a");
    ASSERT_EQ(run({u"sync"}).code, 0);
    const std::u16string reg = home_ / u"registry.reg";
    std::string bytes = *readFileBytes(reg) + "\n[HKEY_NOWHERE\\Broken]\n\"Value\"=dword:xyz\n";
    writeFileBytes(reg, bytes);
    writePc(u"phone", u"b.txt", "b");
    for (auto args : std::vector<std::vector<std::u16string>>{
             {u"sync"}, {u"config", u"Root", home_ / u"elsewhere"}, {u"register"}}) {
        CommandRun r = run(args);
        EXPECT_EQ(r.code, 1) << toUtf8(args[0]);
        EXPECT_THAT(r.err, HasSubstr("is damaged")) << toUtf8(args[0]);
    }
    EXPECT_EQ(readFileBytes(reg), bytes);
    EXPECT_THAT(pcTexts(), ElementsAre("a", "b"));
    EXPECT_THAT(phoneTexts(), ElementsAre("a"));
}

TEST_F(HostTest, BadCommandLinesAreUsageErrors) {
    EXPECT_EQ(run({}).code, 2);
    EXPECT_EQ(run({u"frobnicate"}).code, 2);
    EXPECT_EQ(run({u"sync", u"extra"}).code, 2);
    EXPECT_EQ(run({u"sync", u"--timeout", u"soon"}).code, 2);
    EXPECT_EQ(run({u"sync", u"--replace"}).code, 2);
    EXPECT_EQ(run({u"import"}).code, 2);
    EXPECT_EQ(run({u"config", u"Colour", u"red"}).code, 2);
    EXPECT_EQ(run({u"sync", u"--phone-options", u"delay-ms=soon"}).code, 1);
    for (const char16_t* c : {u"register", u"unregister", u"config", u"sync", u"export",
                              u"read-out", u"import", u"status", u"demo"}) {
        CommandRun r = run({c, u"--help"});
        EXPECT_EQ(r.code, 0) << toUtf8(c);
        EXPECT_THAT(r.out, HasSubstr("Usage: vantrel")) << toUtf8(c);
    }
}

TEST_F(HostTest, TheDemoRunsToTheEnd) {
    TempDir sandbox;
    CommandRun r;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.code = host::runDemo(sandbox.path(), host::defaultModulePath());
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("Both sides hold the same 5 notes"));
}

}  // namespace
}  // namespace vt::test
