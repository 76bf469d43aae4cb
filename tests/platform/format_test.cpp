#include "platform/format.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace vt {
namespace {

TEST(FormatTest, TheDirectivesTheMessagesUse) {
    EXPECT_EQ(format(u"[0x%-4X]", 0xabu), u"[0xAB  ]");
    EXPECT_EQ(format(u"%02i:%02i", 7, 12), u"07:12");
    EXPECT_EQ(format(u"%-25.25s|", std::u16string(u"(genut)CStorage")),
              u"(genut)CStorage          |");
    EXPECT_EQ(format(u"%-5.5s|", std::u16string(u"abcdefgh")), u"abcde|");
    EXPECT_EQ(format(u"0x%X %x", static_cast<int32_t>(0x80004005), 255), u"0x80004005 ff");
    EXPECT_EQ(format(u"%d %u", static_cast<uint32_t>(0xFFFFFFFF), static_cast<uint32_t>(7)),
              u"-1 7");
    EXPECT_EQ(format(u"%s(%d).%s", u"x", 2, u"txt"), u"x(2).txt");
    EXPECT_EQ(format(u"100%% %5d|%-5d|%+d", 42, 42, 3), u"100%    42|42   |+3");
    EXPECT_EQ(format(u"%s", "utf-8 \xc3\xa4"), u"utf-8 \u00e4");
    EXPECT_EQ(format(u"%d", static_cast<int64_t>(-9000000000)), u"-9000000000");
    EXPECT_EQ(format(u"%05d", -42), u"-0042");
    EXPECT_EQ(format(u"no args"), u"no args");
}

TEST(FormatTest, RuntimeMismatchDoesNotCrash) {
    fmt_detail::Arg a = fmt_detail::makeArg(5);
    EXPECT_EQ(vformat(u"%s and %d", &a, 1), u"%! and %!");
}

TEST(TextTest, InvalidInputBecomesReplacementCharacters) {
    EXPECT_EQ(fromUtf8("a\xff"
                       "b"),
              u"a\uFFFDb");
    EXPECT_EQ(fromUtf8("\xe2\x82"), u"\uFFFD");              // cut short
    EXPECT_EQ(fromUtf8("\xed\xa0\x80"), u"\uFFFD");          // encoded surrogate
    EXPECT_EQ(fromUtf8("\xf0\x9f\x98\x80"), u"\U0001F600");  // astral plane
    EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xef\xbf\xbdx");
    EXPECT_EQ(toUtf8(u"\U0001F600"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(toU16(-123), u"-123");
    EXPECT_TRUE(equalsIgnoreAsciiCase(u"Notes.TXT", u"notes.txt"));
}

}  // namespace
}  // namespace vt
