// End-to-end tests of the host through the really loaded module: registration, sessions in
// both directions, conflicts, deletes, export, import in every mode, two phones in one process,
// and the host's answers to bad input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "host/commands.h"
#include "host/demo.h"
#include "host/module_host.h"
#include "host/settings.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/language.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tests/e2e/e2e_support.h"

namespace vt::test {
namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;

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

TEST_F(HostTest, UnregisteringFailsWhenTheRegistryRefusesARemoval) {
    if (!plat::registryIsTextFile()) GTEST_SKIP() << "the registry is the system's, not a file";
    // A damaged registry file serves what it can read and refuses every change.
    const std::u16string reg = home_ / u"registry.reg";
    const std::string good = *readFileBytes(reg);
    writeFileBytes(reg, good + "\n[HKEY_NOWHERE\\Broken]\n");
    std::u16string error;
    EXPECT_FALSE(host::unregisterModule(host::defaultModulePath(), &error));
    EXPECT_THAT(toUtf8(error), HasSubstr("DllUnregisterServer"));
    writeFileBytes(reg, good);
    EXPECT_TRUE(host::unregisterModule(host::defaultModulePath(), &error)) << toUtf8(error);
    EXPECT_FALSE(keyExists(hklm(), u"SOFTWARE\\Orvane\\MorVex\\SmlPlugins"));
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
    writePc(u"phone", u"g.txt", "gone");
    ASSERT_EQ(run({u"sync"}).code, 0);
    // g.txt is deleted on both sides: it stays gone.
    removePc(u"phone", u"g.txt");
    removePhone(u"phone", phoneNameOf(u"phone", "gone"));

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

TEST_F(HostTest, ConflictsKeepThePcVersionOnBothSides) {
    writePc(u"phone", u"edited.txt", "base");
    writePc(u"phone", u"deleted.txt", "base 2");
    ASSERT_TRUE(syncOnce(setup()).ok);
    // Both sides edit one note; the phone deletes the other, which the PC edits.
    writePc(u"phone", u"edited.txt", "PC version");
    writePc(u"phone", u"deleted.txt", "PC version 2");
    writePhone(u"phone", phoneNameOf(u"phone", "base"), "phone version");
    removePhone(u"phone", phoneNameOf(u"phone", "base 2"));
    host::SessionReport r = syncOnce(setup());
    EXPECT_EQ(r.stats.conflicts, 2);
    EXPECT_THAT(pcTexts(), ElementsAre("PC version", "PC version 2"));
    EXPECT_THAT(phoneTexts(), ElementsAre("PC version", "PC version 2"));
    // What the PC wrote on the phone is no change of the phone's.
    r = syncOnce(setup());
    EXPECT_EQ(r.stats.sentAdds + r.stats.sentReplaces + r.stats.sentDeletes, 0);
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

// Each case starts from old.txt and other.txt on both sides and imports one.txt, old.txt and
// memo (no .txt: an item name gets it).
struct ImportCase {
    const char* name;
    std::vector<std::u16string> options;
    std::map<std::u16string, std::string> files;  // the PC's notes afterwards
};

class ImportTest : public HostE2ETest, public testing::WithParamInterface<ImportCase> {
  protected:
    void SetUp() override {
        HostE2ETest::SetUp();
        writePc(u"phone", u"old.txt", "old note");
        writePc(u"phone", u"other.txt", "other");
        ASSERT_TRUE(syncOnce(setup()).ok);
        one_ = home_ / u"one.txt";
        writeFileBytes(one_, "imported one");
        sameName_ = home_ / u"old.txt";
        writeFileBytes(sameName_, "imported old");
        memo_ = home_ / u"memo";
        writeFileBytes(memo_, "memo text");
    }
    // The import command line in this case's mode for these files.
    std::vector<std::u16string> importArgs(std::vector<std::u16string> files) {
        std::vector<std::u16string> args{u"import"};
        args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
        args.insert(args.end(), files.begin(), files.end());
        return args;
    }
    std::u16string one_, sameName_, memo_;
};

TEST_P(ImportTest, ImportsInEachMode) {
    CommandRun r = run(importArgs({one_, sameName_, memo_}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(pcFiles(), GetParam().files);
    std::vector<std::string> texts;
    for (const auto& [name, text] : GetParam().files) texts.push_back(text);
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(phoneTexts(), texts);
    for (const auto& e : fs::recursive_directory_iterator(toUtf8(home_.path())))
        EXPECT_EQ(e.path().filename().string().find("tmp_importdatadir"), std::string::npos)
            << e.path();
}

INSTANTIATE_TEST_SUITE_P(Modes, ImportTest,
                         testing::Values(
                             // Appending: the old notes stay, the new ones get neutral names.
                             ImportCase{"Append",
                                        {},
                                        {{u"old.txt", "old note"},
                                         {u"other.txt", "other"},
                                         {u"untitled.txt", "imported one"},
                                         {u"untitled(2).txt", "imported old"},
                                         {u"untitled(3).txt", "memo text"}}},
                             ImportCase{"Replace",
                                        {u"--replace"},
                                        {{u"untitled.txt", "imported one"},
                                         {u"untitled(2).txt", "imported old"},
                                         {u"untitled(3).txt", "memo text"}}},
                             // Item names: an import of the same name overwrites the old note.
                             ImportCase{"ItemOverwrite",
                                        {u"--item-overwrite"},
                                        {{u"old.txt", "imported old"},
                                         {u"other.txt", "other"},
                                         {u"one.txt", "imported one"},
                                         {u"memo.txt", "memo text"}}},
                             ImportCase{"ReplaceItemOverwrite",
                                        {u"--replace", u"--item-overwrite"},
                                        {{u"old.txt", "imported old"},
                                         {u"one.txt", "imported one"},
                                         {u"memo.txt", "memo text"}}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(ImportTest, AnEmptyOrMissingFileChangesNothing) {
    const std::u16string empty = home_ / u"empty.txt";
    writeFileBytes(empty, "");
    CommandRun r = run(importArgs({one_, empty}));
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("is empty"));
    r = run(importArgs({one_, home_ / u"missing.txt"}));
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("nothing was imported"));
    EXPECT_THAT(pcTexts(), ElementsAre("old note", "other"));
    EXPECT_EQ(phoneTexts(), pcTexts());
}

TEST_P(ImportTest, AFolderChangesNothing) {
    const std::u16string folder = home_ / u"folder.txt";
    ASSERT_EQ(plat::createDirectory(folder), 0);
    CommandRun r = run(importArgs({one_, folder}));
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("can't read"));
    EXPECT_THAT(r.err, HasSubstr("nothing was imported"));
    EXPECT_THAT(pcTexts(), ElementsAre("old note", "other"));
    EXPECT_EQ(phoneTexts(), pcTexts());
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

// ---- two processes ----

TEST_F(HostTest, OfTwoProcessesOnOnePhoneOneSynchronisesAndTheOtherIsTurnedAway) {
    if (!plat::childProcessesSupported()) GTEST_SKIP() << "no child processes here";
    std::vector<std::string> notes;
    for (int i = 0; i < 60; ++i) {
        notes.push_back("PC note " + std::to_string(i));
        writePc(u"phone", fromUtf8("pc" + std::to_string(i) + ".txt"), notes.back());
    }
    for (int i = 0; i < 20; ++i) {
        notes.push_back("phone note " + std::to_string(i));
        writePhone(u"phone", fromUtf8("p" + std::to_string(i)), notes.back());
    }
    std::sort(notes.begin(), notes.end());
    // The paced phone makes the first session last seconds: the two runs overlap.
    const std::vector<std::u16string> args{u"sync", u"--plain", u"--phone-options", u"delay-ms=20"};
    const std::u16string outA = home_ / u"a.out", outB = home_ / u"b.out";
    const int64_t a = startHost(args, outA), b = startHost(args, outB);
    ASSERT_TRUE(a >= 0 && b >= 0);
    const int codeA = plat::waitProcess(a), codeB = plat::waitProcess(b);
    const std::string both = *readFileBytes(outA) + *readFileBytes(outB);
    EXPECT_EQ(std::min(codeA, codeB), 0) << both;
    EXPECT_EQ(std::max(codeA, codeB), 1) << both;
    EXPECT_THAT(codeA == 1 ? *readFileBytes(outA) : *readFileBytes(outB),
                HasSubstr("vantrel: phone phone (350000000000001) is being synchronised by "
                          "another process"));
    EXPECT_EQ(pcTexts(), notes);
    EXPECT_EQ(phoneTexts(), notes);
    // The next run finds nothing to do.
    CommandRun r = run({u"sync"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(pcTexts(), notes);
    EXPECT_EQ(phoneTexts(), notes);
}

TEST_F(HostTest, APhoneAnotherHostHasIsReportedAndSkipped) {
    writePc(u"a", u"a.txt", "PC a");
    writePc(u"b", u"b.txt", "PC b");
    ASSERT_EQ(run({u"sync", u"--imei", u"111", u"--alias", u"a", u"--phone", store(u"a"), u"--imei",
                   u"222", u"--alias", u"b", u"--phone", store(u"b")})
                  .code,
              0);
    writePhone(u"a", u"n", "phone a");
    writePhone(u"b", u"n", "phone b");
    // Another host (not vantrel, so without the host's lock) has phone a's record store open.
    plat::File held;
    ASSERT_TRUE(held.tryOpen(recordStore(u"111"), plat::Access::ReadWrite,
                             plat::Disposition::OpenExisting, plat::Share::Exclusive));
    CommandRun r = run({u"sync", u"--all"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("vantrel: phone a (111) is being synchronised by another "
                                 "process"));
    EXPECT_THAT(pcTexts(u"a"), ElementsAre("PC a"));
    EXPECT_THAT(phoneTexts(u"a"), ElementsAre("PC a", "phone a"));
    EXPECT_THAT(pcTexts(u"b"), ElementsAre("PC b", "phone b"));
    held.close();
    ASSERT_EQ(run({u"sync", u"--all"}).code, 0);
    EXPECT_THAT(pcTexts(u"a"), ElementsAre("PC a", "phone a"));
}

TEST_F(HostTest, TwoProcessesNeverGiveOneAliasToTwoPhones) {
    if (!plat::childProcessesSupported()) GTEST_SKIP() << "no child processes here";
    // Both processes claim the aliases a0, a1, ... for phones of their own at the same time.
    constexpr int kAliases = 30;
    auto claimAll = [this](int firstImei, const std::u16string& storePrefix) {
        int claimed = 0;
        std::u16string error;
        for (int i = 0; i < kAliases; ++i)
            claimed += host::claimPhone(toU16(firstImei + i), u"a" + toU16(i),
                                        home_ / (storePrefix + toU16(i)), &error);
        return claimed;
    };
    // As in the registry's two-process test: the child is made before this process touches
    // the registry, and this thread does not allocate while it is being made.
    const std::u16string started = home_ / u"child-started";
    const fs::path startedPath(toUtf8(started));
    std::error_code noThrow;
    int childClaimed = -1;
    std::thread child([&] {
        childClaimed = plat::runInChild([&] {
            writeFileBytes(started, "");
            return claimAll(2000, u"child-");
        });
    });
    for (int i = 0; i < 10000 && !fs::exists(startedPath, noThrow); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int parentClaimed = claimAll(1000, u"parent-");
    child.join();
    EXPECT_EQ(parentClaimed + childClaimed, kAliases);
    std::map<std::u16string, int> phonesPerAlias;
    for (const host::PhoneRecord& r : host::loadPhoneRecords()) ++phonesPerAlias[r.alias];
    EXPECT_EQ(phonesPerAlias.size(), size_t{kAliases});
    for (const auto& [alias, phones] : phonesPerAlias) EXPECT_EQ(phones, 1) << toUtf8(alias);
}

// ---- language ----

// The path whose rename fails, for the fault hook.
std::u16string g_failingRename;

TEST_F(HostTest, ALanguageChangeRenamesTheNotesFoldersOrChangesNothing) {
    ASSERT_EQ(run({u"config", u"language", u"de"}).code, 0);
    const std::u16string phoneA = plat::joinPath(root(), u"a");
    const std::u16string phoneB = plat::joinPath(root(), u"b");
    for (const auto& folder : {phoneA, phoneB}) {
        ASSERT_EQ(plat::createFolders(plat::joinPath(folder, u"Notizen")), 0);
        writeFileBytes(plat::joinPath(plat::joinPath(folder, u"Notizen"), u"pc.txt"), "PC");
    }
    writePhone(u"a", u"p", "phone a");
    writePhone(u"b", u"p", "phone b");
    const std::vector<std::u16string> both{
        u"sync",   u"--imei", u"111",     u"--alias", u"a",       u"--phone", store(u"a"),
        u"--imei", u"222",    u"--alias", u"b",       u"--phone", store(u"b")};
    ASSERT_EQ(run(both).code, 0);
    auto language = [] {
        std::u16string v;
        return host::readSetting(host::settings()[2], &v) == 0 ? toUtf8(v) : "<unset>";
    };

    // A rename that fails undoes the ones done before it.
    g_failingRename = plat::joinPath(phoneB, u"Notizen");
    plat::fault::setHook([](plat::fault::Op op, const std::u16string& path) {
        return op == plat::fault::Op::Rename && path == g_failingRename;
    });
    CommandRun r = run({u"config", u"language", u"en"});
    plat::fault::setHook(nullptr);
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("can't rename"));
    EXPECT_EQ(language(), "de");
    EXPECT_TRUE(fs::is_directory(toUtf8(plat::joinPath(phoneA, u"Notizen"))));
    EXPECT_FALSE(fs::exists(toUtf8(pcFolder(u"a"))));

    // A phone another process has, a target that holds something, an unknown language.
    {
        plat::File held;
        ASSERT_TRUE(held.tryOpen(recordStore(u"222"), plat::Access::ReadWrite,
                                 plat::Disposition::OpenExisting, plat::Share::Exclusive));
        r = run({u"config", u"language", u"en"});
        EXPECT_EQ(r.code, 1);
        EXPECT_THAT(r.err, HasSubstr("phone b (222) is being synchronised by another process"));
    }
    writePc(u"b", u"stray.txt", "stray");
    r = run({u"config", u"language", u"en"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("isn't empty"));
    removePc(u"b", u"stray.txt");
    r = run({u"config", u"language", u"xx"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("unknown language \"xx\""));
    EXPECT_EQ(language(), "de");
    EXPECT_TRUE(fs::is_directory(toUtf8(plat::joinPath(phoneA, u"Notizen"))));

    // The change moves both folders (into an empty one of the new name too), and the next
    // session finds nothing changed.
    r = run({u"config", u"language", u"en"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("moved the notes of phone 'a'"));
    EXPECT_EQ(language(), "en");
    EXPECT_FALSE(fs::exists(toUtf8(plat::joinPath(phoneA, u"Notizen"))));
    r = run({u"sync", u"--all"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char16_t* alias : {u"a", u"b"}) {
        EXPECT_THAT(pcTexts(alias), ElementsAre("PC", "phone " + toUtf8(alias)));
        EXPECT_EQ(phoneTexts(alias), pcTexts(alias));
    }

    // Unset, the folders take the name the module falls back to.
    ASSERT_EQ(run({u"config", u"--unset", u"language"}).code, 0);
    EXPECT_EQ(language(), "<unset>");
    EXPECT_TRUE(fs::is_directory(toUtf8(plat::joinPath(phoneA, host::notesFolderName()))));
    ASSERT_EQ(run(both).code, 0);
    EXPECT_THAT(phoneTexts(u"a"), ElementsAre("PC", "phone a"));
}

TEST_F(HostTest, RegisterSetsAnUnsetLanguageFromTheLocale) {
    struct Restore {
        const char* name;
        std::optional<std::u16string> value = plat::getEnv(name);
        ~Restore() { plat::setEnv(name, value); }
    } all{"LC_ALL"}, messages{"LC_MESSAGES"}, lang{"LANG"};
    plat::setEnv("LC_ALL", std::nullopt);
    plat::setEnv("LC_MESSAGES", std::nullopt);
    plat::setEnv("LANG", u"de_DE.UTF-8");
    if (plat::userLanguage() != u"de") GTEST_SKIP() << "the locale is the system's here";
    auto language = [] {
        std::u16string v;
        return host::readSetting(host::settings()[2], &v) == 0 ? toUtf8(v) : "<unset>";
    };
    ASSERT_EQ(host::removeSetting(host::settings()[2]), 0);
    CommandRun r = run({u"register"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Current Language = de (the language of your locale"));
    EXPECT_EQ(language(), "de");
    // A value that is set stays.
    plat::setEnv("LANG", u"fr_FR.UTF-8");
    ASSERT_EQ(run({u"register"}).code, 0);
    EXPECT_EQ(language(), "de");
    // A language without a file gives English.
    ASSERT_EQ(host::removeSetting(host::settings()[2]), 0);
    r = run({u"register"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("no language file for your locale's language \"fr\""));
    EXPECT_EQ(language(), "en");
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

TEST_F(HostTest, AVanishedNotesFolderIsExplainedAndNothingDeleted) {
    writePc(u"phone", u"a.txt", "a");
    writePc(u"phone", u"b.txt", "b");
    writePhone(u"phone", u"p", "p");
    ASSERT_EQ(run({u"sync"}).code, 0);
    ASSERT_EQ(run({u"sync"}).code, 0);
    const std::u16string renamed = plat::joinPath(plat::joinPath(root(), u"phone"), u"Old notes");
    ASSERT_EQ(plat::renameFile(pcFolder(), renamed), 0);
    CommandRun r = run({u"sync"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("the notes folder " + toUtf8(pcFolder()) +
                                 " is missing, but 3 notes were synchronised with phone 'phone' "
                                 "before"));
    EXPECT_THAT(r.err, HasSubstr("nothing was deleted"));
    EXPECT_THAT(phoneTexts(), ElementsAre("a", "b", "p"));
    EXPECT_FALSE(fs::exists(toUtf8(pcFolder())));

    // Without the host's count the module's refusal is explained the same way.
    plat::RegKey record;
    ASSERT_EQ(plat::RegKey::root(plat::RegRoot::CurrentUser)
                  .open(u"Software\\Orvane\\MorVex\\Vantrel Host\\Phones\\350000000000001", &record,
                        true),
              0);
    ASSERT_EQ(record.deleteValue(u"Notes"), 0);
    r = run({u"sync"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.out + r.err, HasSubstr("is missing, but the module holds notes synchronised "
                                         "with phone 'phone' before"));
    EXPECT_THAT(phoneTexts(), ElementsAre("a", "b", "p"));
    EXPECT_FALSE(fs::exists(toUtf8(pcFolder())));

    // Moved back, the next session finds nothing changed.
    ASSERT_EQ(plat::renameFile(renamed, pcFolder()), 0);
    r = run({u"sync"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, testing::ContainsRegex("phone -> PC +0 +0 +0"));
    EXPECT_THAT(r.out, testing::ContainsRegex("PC -> phone +0 +0 +0"));
    EXPECT_THAT(pcTexts(), ElementsAre("a", "b", "p"));
    EXPECT_THAT(phoneTexts(), ElementsAre("a", "b", "p"));
}

TEST_F(HostTest, ANotesFolderThatIsAFileIsRefused) {
    ASSERT_EQ(plat::createFolders(plat::joinPath(root(), u"phone")), 0);
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

TEST_F(HostTest, AnOptionACommandDoesNotTakeIsAUsageError) {
    const std::vector<std::pair<std::vector<std::u16string>, std::string>> cases = {
        {{u"status", u"--all"}, "status does not take --all"},
        {{u"export", u"--replace"}, "export does not take --replace"},
        {{u"register", u"--imei", u"1"}, "register takes no phone options"},
        {{u"export", u"--imei", u"1", u"--imei", u"2"}, "export works on one phone at a time"},
        {{u"sync", u"--module", u"m"}, "--module is for register, unregister and demo"},
        {{u"status", u"--progid", u"P"}, "--progid is for the commands that connect to phones"},
        {{u"sync", u"--progid="}, "--progid needs a ProgID"},
        {{u"sync", u"--unset", u"root"}, "--unset is for config"},
    };
    for (const auto& [args, message] : cases) {
        CommandRun r = run(args);
        EXPECT_EQ(r.code, 2) << message;
        EXPECT_THAT(r.err, HasSubstr(message));
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
