// Language resources: which language file CLanguage picks (Quorril's "Current Language", then
// Platform's, then the first file in the Lang folder), and the loader's string cache. The test
// program has Lang/MorVex_en.qlr ("Notes") and Lang/MorVex_de.qlr ("Notizen") beside it.
#include "util/language.h"

#include <gtest/gtest.h>

#include "platform/find.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "util/folder_utils.h"

namespace vt {
namespace {

class LanguageTest : public test::SandboxedTest {
  protected:
    static void setLanguage(const std::u16string& key, const std::u16string& language) {
        plat::RegKey k;
        ASSERT_EQ(plat::RegKey::root(plat::RegRoot::LocalMachine).create(key, &k),
                  plat::kErrorSuccess);
        ASSERT_EQ(k.setString(u"Current Language", language), plat::kErrorSuccess);
    }
    static std::u16string langFolder() {
        return plat::joinPath(CFolderUtils::getHostExeFolder(), u"Lang");
    }

    static constexpr char16_t kQuorril[] = u"Software\\Orvane\\Quorril";
    static constexpr char16_t kPlatform[] = u"Software\\Orvane\\Platform";
};

TEST_F(LanguageTest, QuorrilLanguageBeatsPlatformLanguage) {
    setLanguage(kQuorril, u"en");
    setLanguage(kPlatform, u"de");
    CLanguage language;
    EXPECT_EQ(language.filePath(), plat::joinPath(langFolder(), u"MorVex_en.qlr"));
    EXPECT_EQ(language.getString(CLanguage::kNotesFolderName), u"Notes");
    EXPECT_EQ(language.loader()->languageName(), u"English");
}

TEST_F(LanguageTest, PlatformLanguageServesWhenQuorrilHasNone) {
    test::LogCapture log;
    setLanguage(kPlatform, u"de");
    {
        CLanguage language;
        EXPECT_EQ(language.getString(CLanguage::kNotesFolderName), u"Notizen");
    }
    EXPECT_TRUE(log.has("Registry not found: Software\\Orvane\\Quorril"));
    EXPECT_TRUE(log.has("Value Current Language read: de"));
}

TEST_F(LanguageTest, WithoutRegistryValuesTheFirstFileOfTheFolderIsUsed) {
    auto files = plat::findFiles(plat::joinPath(langFolder(), u"MorVex_*.qlr"));
    ASSERT_FALSE(files.empty()) << "the language files are missing beside the test program";
    CLanguage language;
    EXPECT_EQ(language.filePath(), plat::joinPath(langFolder(), files.front().name));
    const std::u16string name = language.getString(CLanguage::kNotesFolderName);
    EXPECT_TRUE(name == u"Notes" || name == u"Notizen") << "got a folder name from nowhere";
}

TEST_F(LanguageTest, LanguageWithoutFileLoadsNothing) {
    setLanguage(kQuorril, u"xx");
    CLanguage language;
    EXPECT_EQ(language.filePath(), plat::joinPath(langFolder(), u"MorVex_xx.qlr"));
    EXPECT_EQ(language.loader()->module(), nullptr);
    EXPECT_EQ(language.getString(CLanguage::kNotesFolderName), u"");
    EXPECT_EQ(language.getString(CLanguage::kLanguageName), u"");
}

TEST_F(LanguageTest, AStringIsReadFromTheFileOnce) {
    setLanguage(kQuorril, u"de");
    CLanguage language;
    EXPECT_EQ(language.getString(CLanguage::kNotesFolderName), u"Notizen");
    EXPECT_EQ(language.getString(CLanguage::kNotesFolderName), u"Notizen");
    EXPECT_EQ(language.loader()->fileLookups(), 1);
    // A missing string is not cached: nothing to keep.
    EXPECT_EQ(language.getString(4242), u"");
    EXPECT_EQ(language.getString(4242), u"");
    EXPECT_EQ(language.loader()->fileLookups(), 3);
}

TEST_F(LanguageTest, ReloadingForgetsTheCacheOfTheOldFile) {
    CQLRUtil loader;
    ASSERT_NE(loader.load(plat::joinPath(langFolder(), u"MorVex_de.qlr")), nullptr);
    std::u16string text;
    ASSERT_TRUE(loader.getString(91, &text));
    EXPECT_EQ(text, u"Notizen");
    ASSERT_NE(loader.load(plat::joinPath(langFolder(), u"MorVex_en.qlr")), nullptr);
    ASSERT_TRUE(loader.getString(91, &text));
    EXPECT_EQ(text, u"Notes");
    EXPECT_EQ(loader.languageName(), u"English");
    EXPECT_TRUE(loader.unload());
    EXPECT_FALSE(loader.unload());
    EXPECT_FALSE(loader.getString(91, &text));
    EXPECT_EQ(loader.loadedPath(), u"");
}

}  // namespace
}  // namespace vt
