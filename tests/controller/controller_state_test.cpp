// The controller's state: construction with its folders and the notes-folder descriptor, the
// property file with its two counters, the atomic rewrite of that file, the repair of a record
// store and property file that a crash left out of step, and the notification object.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "controller/notes_controller.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/path.h"
#include "tests/support/counting_unknown.h"
#include "tests/support/fakes.h"
#include "tests/support/log_capture.h"
#include "util/folder_utils.h"
#include "util/text_error.h"

namespace vt {
namespace {

using test::readFileBytes;
using test::writeFileBytes;

// The property file's text as UTF-16LE bytes.
std::string utf16Bytes(const std::u16string& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
}

std::atomic<int> g_failOp{-1};
bool failPropertyFileOp(plat::fault::Op op, const std::u16string& path) {
    return static_cast<int>(op) == g_failOp.load() &&
           path.find(u"properties.dat") != std::u16string::npos;
}
// Makes one kind of operation on the property file fail for the scope's life.
struct PropertyFileFault {
    explicit PropertyFileFault(plat::fault::Op op) {
        g_failOp = static_cast<int>(op);
        plat::fault::setHook(&failPropertyFileOp);
    }
    ~PropertyFileFault() {
        plat::fault::setHook(nullptr);
        g_failOp = -1;
    }
};

class ControllerStateTest : public test::PhoneSandbox {
  protected:
    static constexpr char16_t kImei[] = u"350000000000001";

    std::unique_ptr<CNotesController> make(const std::u16string& alias = u"phone") {
        return std::make_unique<CNotesController>(kImei, alias, 4, &engine_);
    }
    // The text a failing construction throws, or nullopt when it succeeds.
    std::optional<std::u16string> constructionError() {
        try {
            make();
        } catch (const TextError& e) {
            return e.text();
        }
        return std::nullopt;
    }
    std::u16string propertyFile() const {
        return plat::joinPath(storeFolder(kImei), u"properties.dat");
    }
    void writePropertyFile(const std::string& bytes) {
        ASSERT_TRUE(CFolderUtils::ensureFolderExists(storeFolder(kImei)));
        writeFileBytes(propertyFile(), bytes);
    }
    // A value of the property file on disk, "<none>" when absent.
    std::u16string saved(const std::u16string& key) {
        auto bytes = readFileBytes(propertyFile());
        if (!bytes) return u"<no file>";
        CPropertySet set(bytes->data(), bytes->size());
        return text(set.get(key));
    }
    static std::u16string text(CPropertyValue* v) {
        if (!v) return u"<none>";
        std::u16string s;
        v->getStringValue(s);
        return s;
    }
    std::u16string note(const std::u16string& name) const {
        return plat::joinPath(notesFolder(alias_), name);
    }
    uint32_t attributes(const std::u16string& path) {
        uint32_t a = 0;
        EXPECT_EQ(plat::getFileAttributes(path, &a), 0) << toUtf8(path);
        return a;
    }
    // Whether this file system keeps the hidden and system attributes at all.
    bool keepsAttributes() {
        const std::u16string probe = home_ / u"attribute-probe";
        writeFileBytes(probe, "");
        uint32_t a = 0;
        bool kept = plat::setFileAttributes(probe, plat::kAttrHidden | plat::kAttrSystem) == 0 &&
                    plat::getFileAttributes(probe, &a) == 0 && (a & plat::kAttrHidden) != 0;
        plat::removeFile(probe);
        return kept;
    }

    test::FakeEngine engine_;
};

TEST_F(ControllerStateTest, FirstUseBuildsFoldersDescriptorAndCounters) {
    test::LogCapture log;
    auto c = make();
    plat::FileStatus st;
    ASSERT_TRUE(plat::getFileStatus(storeFolder(kImei), &st));
    EXPECT_TRUE(st.isDirectory);
    ASSERT_TRUE(plat::getFileStatus(notesFolder(alias_), &st));
    EXPECT_TRUE(st.isDirectory);
    EXPECT_EQ(c->notesFolder(), notesFolder(alias_));
    const auto templateBytes =
        readFileBytes(plat::joinPath(CFolderUtils::getHostExeFolder(), u"Notes.xml"));
    ASSERT_TRUE(templateBytes) << "Notes.xml is missing beside the test program";
    EXPECT_EQ(readFileBytes(note(u"folder.xml")), templateBytes);
    EXPECT_TRUE(log.has("CNotesController(): created support for PB"));
    EXPECT_TRUE(log.has("loadProperties(): Ok, propertyfile not present"));

    EXPECT_EQ(c->lastSyncNum(), -1);
    EXPECT_EQ(c->nextLocalLuid(), 1);
    c.reset();
    EXPECT_EQ(saved(u"LastSyncNum"), u"-1");
    EXPECT_EQ(saved(u"NextLocalLuid"), u"1");

    if (!keepsAttributes()) GTEST_SKIP() << "the file system keeps no hidden/system attributes";
    const uint32_t hiddenSystem = plat::kAttrHidden | plat::kAttrSystem;
    EXPECT_EQ(attributes(notesFolder(alias_)) & hiddenSystem, hiddenSystem);
    EXPECT_TRUE(attributes(note(u"folder.xml")) & plat::kAttrSystem);
}

TEST_F(ControllerStateTest, ExistingFolderAndDescriptorAreLeftAlone) {
    ASSERT_EQ(plat::createDirectory(notesFolder(alias_)), 0);
    writeFileBytes(note(u"folder.xml"), "<Folder>mine</Folder>");
    test::LogCapture log;
    auto c = make();
    EXPECT_EQ(readFileBytes(note(u"folder.xml")), "<Folder>mine</Folder>");
    EXPECT_FALSE(log.has("created support for PB"));
    EXPECT_EQ(c->prepareNotesFolder(notesFolder(alias_), u"Notes.xml", true), 0);

    if (!keepsAttributes()) GTEST_SKIP() << "the file system keeps no hidden/system attributes";
    EXPECT_FALSE(attributes(notesFolder(alias_)) & plat::kAttrHidden);  // not ours to hide
    EXPECT_TRUE(attributes(note(u"folder.xml")) & plat::kAttrSystem);
}

TEST_F(ControllerStateTest, MissingTemplateGivesAFolderWithoutDescriptor) {
    auto c = make();
    const std::u16string fresh = home_ / u"fresh";
    EXPECT_EQ(c->prepareNotesFolder(fresh, u"NoSuchTemplate.xml", false), 1);
    plat::FileStatus st;
    ASSERT_TRUE(plat::getFileStatus(fresh, &st));
    EXPECT_TRUE(st.isDirectory);
    EXPECT_FALSE(plat::getFileStatus(plat::joinPath(fresh, u"folder.xml"), &st));
    EXPECT_EQ(c->prepareNotesFolder(fresh, u"NoSuchTemplate.xml", false), 0);

    writeFileBytes(home_ / u"plain", "x");
    EXPECT_EQ(c->prepareNotesFolder(home_ / u"plain", u"Notes.xml", false), E_FAIL);
}

TEST_F(ControllerStateTest, EmptyOrCorruptPropertyFileIsReadAsFarAsItGoesAndRewritten) {
    writePropertyFile("");
    {
        test::LogCapture log;
        auto c = make();
        EXPECT_EQ(c->lastSyncNum(), -1);
        EXPECT_TRUE(log.has("loadProperties(): Ok, propertyfile empty"));
    }
    std::mt19937 random(20240607);
    std::string garbage(4097, '\0');
    for (char& c : garbage) c = static_cast<char>(random());
    writePropertyFile(garbage);
    auto c = make();
    EXPECT_EQ(c->lastSyncNum(), -1);
    EXPECT_EQ(c->nextLocalLuid(), 1);
    c.reset();
    EXPECT_EQ(saved(u"LastSyncNum"), u"-1");
    EXPECT_EQ(saved(u"NextLocalLuid"), u"1");
}

TEST_F(ControllerStateTest, SomethingElseInPlaceOfItsFilesFailsConstruction) {
    writeFileBytes(notesFolder(alias_), "not a folder");
    EXPECT_EQ(constructionError(),
              u"CNotesController(): Panic, can't create folder " + notesFolder(alias_));
    ASSERT_EQ(plat::removeFile(notesFolder(alias_)), 0);
    ASSERT_TRUE(CFolderUtils::ensureFolderExists(propertyFile()));
    EXPECT_EQ(constructionError(), u"CNotesController(): Panic with propertyfile");
}

TEST_F(ControllerStateTest, CountersOfTheWrongTypeFallBackToTheirDefaults) {
    writePropertyFile(utf16Bytes(u"LastSyncNum:=abc\nNextLocalLuid:=7x"));
    test::LogCapture log;
    auto c = make();
    EXPECT_EQ(c->lastSyncNum(), -1);
    EXPECT_EQ(c->nextLocalLuid(), 1);
    EXPECT_EQ(text(c->properties()->get(u"LastSyncNum")), u"-1");
    EXPECT_TRUE(
        log.has("CNotesController(): property last sync num exist but is not type "
                "longCPropertyValue::getLongValue: NotANumber"));
    EXPECT_TRUE(log.has("CNotesController(): property next local luid exist but is not type long"));
    c.reset();
    EXPECT_EQ(saved(u"LastSyncNum"), u"-1");
    EXPECT_EQ(saved(u"NextLocalLuid"), u"1");
}

TEST_F(ControllerStateTest, CountersSurviveARestart) {
    writePropertyFile(utf16Bytes(u"LastSyncNum:=6\nNextLocalLuid:=12"));
    auto c = make();
    EXPECT_EQ(c->lastSyncNum(), 6);
    EXPECT_EQ(c->nextLocalLuid(), 12);
    writeFileBytes(note(u"a.txt"), "new on the PC");
    ASSERT_EQ(c->synchronize(), S_OK);
    ASSERT_EQ(engine_.items.size(), 1u);
    EXPECT_EQ(engine_.items[0].luid, u"12");
    c.reset();
    EXPECT_EQ(saved(u"NextLocalLuid"), u"13");
    EXPECT_EQ(saved(u"LastSyncNum"), u"7");
}

class ControllerStateFaultTest : public ControllerStateTest,
                                 public testing::WithParamInterface<plat::fault::Op> {};

TEST_P(ControllerStateFaultTest, FailedPropertyWriteKeepsThePreviousFile) {
    auto c = make();
    c->properties()->set(u"marker", CPropertyValue(u"old"));
    ASSERT_TRUE(c->unloadProperties());
    const auto before = readFileBytes(propertyFile());
    ASSERT_TRUE(before);

    c->properties()->set(u"marker", CPropertyValue(u"new"));
    {
        PropertyFileFault fault(GetParam());
        EXPECT_FALSE(c->unloadProperties());
    }
    EXPECT_EQ(readFileBytes(propertyFile()), before);
    EXPECT_TRUE(plat::findFiles(plat::joinPath(storeFolder(kImei), u"properties*.tmp")).empty())
        << "a temporary file was left behind";

    EXPECT_TRUE(c->unloadProperties());
    EXPECT_EQ(saved(u"marker"), u"new");
}

INSTANTIATE_TEST_SUITE_P(ControllerStateFault, ControllerStateFaultTest,
                         testing::Values(plat::fault::Op::Write, plat::fault::Op::Flush,
                                         plat::fault::Op::Rename));

// What a crash between the write of the property file and the write of NotesDB's index leaves
// is repaired at the next construction, so the next scan runs.
TEST_F(ControllerStateTest, ConstructionRepairsStoreAndPropertiesOutOfStep) {
    {
        auto c = make();
        writeFileBytes(note(u"mapped.txt"), "mapped body");
        writeFileBytes(note(u"kept.txt"), "kept body");
        plat::FileStatus st;
        ASSERT_TRUE(plat::getFileStatus(note(u"mapped.txt"), &st));
        // A record that no property knows (its properties were never saved).
        ASSERT_GE(c->notesDB().store(u"orphan.txt", "lost", 4), 0);
        // Properties whose record was never saved.
        c->properties()->set(u"filetime:mapped.txt", CPropertyValue(CTime{st.lastWriteTime}));
        c->properties()->set(u"pcfilename:mapped.txt", CPropertyValue(u"L1"));
        c->properties()->set(u"luid2file:L1", CPropertyValue(u"mapped.txt"));
        // A mapped record whose file time was lost.
        ASSERT_GE(c->notesDB().store(u"kept.txt", "kept body", 9), 0);
        c->properties()->set(u"pcfilename:kept.txt", CPropertyValue(u"L2"));
        c->properties()->set(u"luid2file:L2", CPropertyValue(u"kept.txt"));
    }
    auto c = make();
    std::vector<std::u16string> keys;
    c->notesDB().getKeys(keys);
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"kept.txt", u"mapped.txt"}));
    std::vector<uint8_t> data;
    ASSERT_GE(c->notesDB().fetch(u"mapped.txt", data), 0);
    EXPECT_EQ(std::string(data.begin(), data.end()), "mapped body");

    ASSERT_EQ(c->synchronize(), S_OK) << "properties and NotesDB still out of step";
    // mapped.txt is in step; kept.txt goes to the phone again.
    ASSERT_EQ(engine_.items.size(), 1u);
    EXPECT_EQ(engine_.items[0].kind, test::FakeEngine::Item::Replace);
    EXPECT_EQ(engine_.items[0].luid, u"L2");
}

TEST_F(ControllerStateTest, SetNotifyHoldsOneReferenceAndNullDropsIt) {
    test::FakeNotify notify;
    test::CountingUnknown stranger;
    {
        test::LogCapture log;
        auto c = make();
        EXPECT_EQ(c->setNotify(&notify), S_OK);
        EXPECT_EQ(c->setNotify(&notify), S_OK);
        EXPECT_EQ(notify.refs(), 1);
        EXPECT_EQ(c->setNotify(nullptr), E_FAIL);
        EXPECT_TRUE(log.has("setNotify failed"));
        EXPECT_EQ(notify.refs(), 0);
        EXPECT_EQ(c->setNotify(&stranger), E_NOINTERFACE);
        EXPECT_EQ(stranger.refs(), 0);
        EXPECT_EQ(c->setNotify(&notify), S_OK);
    }
    EXPECT_EQ(notify.refs(), 0);  // the destructor let go
}

}  // namespace
}  // namespace vt
