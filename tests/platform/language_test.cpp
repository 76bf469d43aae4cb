#include "platform/language.h"

#include <gtest/gtest.h>

#include <optional>

#include "platform/path.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "tests/support/temp_dir.h"

namespace vt::plat {
namespace {

// The build puts MorVex_xt.qlr, the format's corner cases (tests/platform/MorVex_xt.qlr), beside
// this program in TestLang/, in the platform's own form (text on Linux, a resource-only DLL on
// Windows). The shipped files are checked through CLanguage in tests/frontend/language_test.cpp.
std::u16string besideProgram(const std::u16string& folder, const std::u16string& name) {
    std::u16string exe = hostExecutablePath();
    return joinPath(joinPath(exe.substr(0, exe.rfind(kPathSeparator)), folder), name);
}

class LanguageTest : public ::testing::Test {
  protected:
    ~LanguageTest() override { freeLanguageFile(module_); }

    LanguageModule* load(const std::u16string& folder, const std::u16string& name) {
        freeLanguageFile(module_);
        return module_ = loadLanguageFile(besideProgram(folder, name));
    }
    std::u16string get(uint32_t id, size_t maxChars = 1024) {
        std::u16string s = u"unchanged";
        return loadLanguageString(module_, id, maxChars, &s) ? s : u"<absent>";
    }

    LanguageModule* module_ = nullptr;
};

TEST_F(LanguageTest, ReadsStringsWithEscapesCommentsAndBom) {
    ASSERT_NE(load(u"TestLang", u"MorVex_xt.qlr"), nullptr);
    EXPECT_EQ(get(1), u"Deutsch");
    EXPECT_EQ(get(91), u"Notizen \u2013 Telefon");
    EXPECT_EQ(get(5), u"Tab\there\nnext \\ end \\x");
    EXPECT_EQ(get(6), u"<absent>");
    EXPECT_EQ(get(7), u"last line without a line end");
    EXPECT_EQ(get(9), u"\"quoted\"; [semi] ${x}");  // the later line wins
    EXPECT_EQ(get(12), u"leading zeros");
    EXPECT_EQ(get(70000 & 0xFFFF), u"<absent>");
    EXPECT_EQ(get(70000), u"<absent>");
}

TEST_F(LanguageTest, AbsentAndEmptyStringsAndMissingFiles) {
    ASSERT_NE(load(u"TestLang", u"MorVex_xt.qlr"), nullptr);
    EXPECT_EQ(get(2), u"<absent>");
    EXPECT_EQ(get(8), u"<absent>");
    std::u16string s;
    EXPECT_FALSE(loadLanguageString(nullptr, 1, 10, &s));
    test::TempDir dir;
    EXPECT_EQ(loadLanguageFile(dir / u"MorVex_xx.qlr"), nullptr);
    EXPECT_EQ(loadLanguageFile(dir.path()), nullptr);
    EXPECT_EQ(loadLanguageFile(u""), nullptr);
    EXPECT_FALSE(freeLanguageFile(nullptr));
}

TEST_F(LanguageTest, CutsToMaxCharsMinusOne) {
    ASSERT_NE(load(u"TestLang", u"MorVex_xt.qlr"), nullptr);
    EXPECT_EQ(get(1, 4), u"Deu");
    EXPECT_EQ(get(1, 8), u"Deutsch");
    EXPECT_EQ(get(1, 2), u"D");
    EXPECT_EQ(get(1, 1), u"<absent>");
}

TEST_F(LanguageTest, TheUserLanguageIsTheLanguagePartOfTheLocale) {
    EXPECT_EQ(languageOfLocale(u"de_DE.UTF-8"), u"de");
    EXPECT_EQ(languageOfLocale(u"pt-BR"), u"pt");
    EXPECT_EQ(languageOfLocale(u"ca_ES@valencia"), u"ca");
    EXPECT_EQ(languageOfLocale(u"FR"), u"fr");
    EXPECT_EQ(languageOfLocale(u"C.UTF-8"), u"");
    EXPECT_EQ(languageOfLocale(u"POSIX"), u"");
    EXPECT_EQ(languageOfLocale(u"en1"), u"");

    struct Restore {
        const char* name;
        std::optional<std::u16string> value = getEnv(name);
        ~Restore() { setEnv(name, value); }
    } all{"LC_ALL"}, messages{"LC_MESSAGES"}, lang{"LANG"};
    setEnv("LC_ALL", u"de_DE.UTF-8");
    if (userLanguage() != u"de") GTEST_SKIP() << "the locale is the system's here";
    // The first variable set decides, in the C library's order.
    setEnv("LC_ALL", std::nullopt);
    setEnv("LC_MESSAGES", u"fr_FR.UTF-8");
    setEnv("LANG", u"de_DE.UTF-8");
    EXPECT_EQ(userLanguage(), u"fr");
    setEnv("LC_MESSAGES", std::nullopt);
    EXPECT_EQ(userLanguage(), u"de");
    setEnv("LANG", u"C");
    EXPECT_EQ(userLanguage(), u"");
}

}  // namespace
}  // namespace vt::plat
