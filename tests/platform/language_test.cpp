#include "platform/language.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace vt::plat {
namespace {

class LanguageTest : public ::testing::Test {
  protected:
    ~LanguageTest() override { freeLanguageFile(module_); }

    LanguageModule* load(const std::string& text) {
        std::u16string path = dir_ / u"MorVex_de.qlr";
        test::writeFileBytes(path, text);
        return module_ = loadLanguageFile(path);
    }
    std::u16string get(uint32_t id, size_t maxChars = 1024) {
        std::u16string s = u"unchanged";
        return loadLanguageString(module_, id, maxChars, &s) ? s : u"<absent>";
    }

    test::TempDir dir_;
    LanguageModule* module_ = nullptr;
};

TEST_F(LanguageTest, ReadsStringsWithEscapesCommentsAndBom) {
    ASSERT_NE(load("\xEF\xBB\xBF# German\r\n"
                   "1\tDeutsch\r\n"
                   "\r\n"
                   "91\tNotizen \xE2\x80\x93 Telefon\r\n"
                   "5\tTab\\there\\nnext \\\\ end \\x\r\n"
                   "not a string line\n"
                   "70000\tid out of range\n"
                   "6 \tspace before the tab\n"
                   "7\tlast line without a line end"),
              nullptr);
    EXPECT_EQ(get(1), u"Deutsch");
    EXPECT_EQ(get(91), u"Notizen \u2013 Telefon");
    EXPECT_EQ(get(5), u"Tab\there\nnext \\ end \\x");
    EXPECT_EQ(get(6), u"<absent>");
    EXPECT_EQ(get(7), u"last line without a line end");
    EXPECT_EQ(get(70000 & 0xFFFF), u"<absent>");
}

TEST_F(LanguageTest, AbsentAndEmptyStringsAndMissingFiles) {
    ASSERT_NE(load("1\tEnglish\n8\t\n"), nullptr);
    EXPECT_EQ(get(2), u"<absent>");
    EXPECT_EQ(get(8), u"<absent>");
    std::u16string s;
    EXPECT_FALSE(loadLanguageString(nullptr, 1, 10, &s));
    EXPECT_EQ(loadLanguageFile(dir_ / u"MorVex_xx.qlr"), nullptr);
    EXPECT_EQ(loadLanguageFile(dir_.path()), nullptr);
    EXPECT_FALSE(freeLanguageFile(nullptr));
}

TEST_F(LanguageTest, CutsToMaxCharsMinusOne) {
    ASSERT_NE(load("3\tabcdef\n"), nullptr);
    EXPECT_EQ(get(3, 4), u"abc");
    EXPECT_EQ(get(3, 7), u"abcdef");
    EXPECT_EQ(get(3, 1), u"<absent>");
}

}  // namespace
}  // namespace vt::plat
