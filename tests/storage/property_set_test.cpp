#include "storage/property_set.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/time.h"
#include "util/text_error.h"

namespace vt {
namespace {

std::u16string saved(const CPropertySet& set) {
    std::unique_ptr<char16_t[]> block;
    uint32_t bytes = 12345;
    set.save(block, bytes);
    if (bytes == 0) {
        EXPECT_EQ(block, nullptr);
        return u"";
    }
    EXPECT_EQ(block[bytes / 2], u'\0');
    return std::u16string(block.get(), bytes / 2);
}

std::u16string text(CPropertySet& set, const std::u16string& key) {
    CPropertyValue* v = set.get(key);
    if (v == nullptr) return u"<missing>";
    std::u16string s;
    v->getStringValue(s);
    return s;
}

// Reads a block given as text, code units in memory order.
CPropertySet* parse(const std::u16string& block) {
    return new CPropertySet(block.data(), block.size() * 2);
}

template <class F>
std::u16string thrown(F&& f) {
    try {
        f();
    } catch (const TextError& e) {
        return e.text();
    }
    return u"<nothing thrown>";
}

TEST(PropertySetTest, BlockFormat) {
    CPropertySet set;
    EXPECT_EQ(saved(set), u"");
    set.set(u"k", CPropertyValue(5));
    EXPECT_EQ(saved(set), u"k:=5");
    set.set(u"a=b", CPropertyValue(u"x\ny"));
    set.set(u"B", CPropertyValue(true));
    set.set(u"n", CPropertyValue(u"n=1"));
    EXPECT_EQ(saved(set), u"B:=true\na\\=b:=x\\ny\nk:=5\nn:=n\\=1");
    std::unique_ptr<CPropertySet> back(parse(saved(set)));
    EXPECT_EQ(back->getKeys(), (std::vector<std::u16string>{u"B", u"a=b", u"k", u"n"}));
    EXPECT_EQ(text(*back, u"a=b"), u"x\ny");
    EXPECT_EQ(text(*back, u"n"), u"n=1");
}

TEST(PropertySetTest, ReadingSkipsMalformedLinesAndSplitsAtZeroUnits) {
    using namespace std::string_literals;
    const std::u16string block =
        u"nosep\nk1:=a:=b\nempty:=\n\n:=nokey\nk2:=v\r\nk3:=first\0k3:=second\nk4:=\\=x"s;
    std::unique_ptr<CPropertySet> set(parse(block));
    EXPECT_EQ(set->getKeys(), (std::vector<std::u16string>{u"", u"k2", u"k3", u"k4"}));
    EXPECT_EQ(text(*set, u"k2"), u"v\r");
    EXPECT_EQ(text(*set, u"k3"), u"second");
    EXPECT_EQ(text(*set, u"k4"), u"=x");
    // An odd last byte is ignored.
    const std::u16string one = u"a:=b";
    CPropertySet odd(one.data(), one.size() * 2 + 1);
    EXPECT_EQ(text(odd, u"a"), u"b");
}

TEST(PropertySetTest, OldBlocksReadAsBefore) {
    std::unique_ptr<CPropertySet> set(
        parse(u"p:=C:\\notes\\new.txt\nq:=a\\\\\\\\b\nr:=\\n=\nt:=end\\\\"));
    EXPECT_EQ(text(*set, u"p"), u"C:\notes\new.txt");  // backslash n: a line feed
    EXPECT_EQ(text(*set, u"q"), u"a\\\\\\b");
    EXPECT_EQ(text(*set, u"r"), u"\n=");
    EXPECT_EQ(text(*set, u"t"), u"end\\\\");
}

TEST(PropertySetTest, BackslashesReadBackAsWritten) {
    const std::u16string texts[] = {
        u"\\",          u"a\\b",       u"a\\\\b",  u"\\\\",
        u"\\n",         u"\\=",        u"x\\\\=y", u"C:\\notes\\new.txt",
        u"=\n\\:=\\\\", u"\\\\\\nabc", u"k:",      u"\n"};
    CPropertySet set;
    for (const auto& t : texts) set.set(t, CPropertyValue(t));
    std::unique_ptr<CPropertySet> back(parse(saved(set)));
    EXPECT_EQ(back->getKeys(), set.getKeys());
    for (const auto& t : texts) EXPECT_EQ(text(*back, t), t);

    // The two texts the block cannot carry: a line feed right after a backslash, and zero
    // code units (which would end the line).
    CPropertySet lossy;
    lossy.set(u"k", CPropertyValue(u"a\\\nb"));
    lossy.set(u"z", CPropertyValue(std::u16string(u"x\0y:=1", 6)));
    std::unique_ptr<CPropertySet> read(parse(saved(lossy)));
    EXPECT_EQ(text(*read, u"k"), u"a\\nb");
    EXPECT_EQ(text(*read, u"z"), u"xy:=1");
    EXPECT_EQ(read->getCount(), 2u);
}

TEST(PropertyValueTest, Numbers) {
    for (const char16_t* bad : {u"0042", u"", u" 5", u"+5", u"5x", u"2147483648", u"-0"}) {
        CPropertyValue v(bad);
        int32_t n = 0;
        EXPECT_EQ(thrown([&] { v.getLongValue(n); }), u"CPropertyValue::getLongValue: NotANumber")
            << testing::PrintToString(std::u16string(bad));
    }
    CPropertyValue v(u"-5");
    int32_t n = 0;
    v.getLongValue(n);
    EXPECT_EQ(n, -5);
    CPropertyValue min(u"-2147483648");
    min.getLongValue(n);
    EXPECT_EQ(n, INT32_MIN);

    CPropertyValue twelve(u"12");
    twelve.getLongValue(n);
    CTime t;
    EXPECT_EQ(thrown([&] { twelve.getCTimeValue(t); }),
              u"CPropertyValue::getCTimeValue:other type");
    CPropertyValue truth(false);
    std::u16string s;
    truth.getStringValue(s);
    EXPECT_EQ(s, u"false");
    EXPECT_EQ(thrown([&] { truth.getLongValue(n); }), u"CPropertyValue::getLongValue:other type");
    EXPECT_EQ(thrown([&] { truth.getCTimeValue(t); }), u"CPropertyValue::getCTimeValue:other type");
}

TEST(PropertyValueTest, Times) {
    plat::LocalTime lt;
    lt.year = 2004;
    lt.month = 3;
    lt.day = 2;
    lt.hour = 12;
    lt.second = 1;
    int64_t expected = 0;
    ASSERT_TRUE(plat::fromLocalTime(lt, &expected));

    CPropertyValue parsed(u"02.03.2004 12:00:01");
    CTime t;
    parsed.getCTimeValue(t);
    EXPECT_EQ(t.seconds, expected);
    int32_t n = 0;
    EXPECT_EQ(thrown([&] { parsed.getLongValue(n); }), u"CPropertyValue::getLongValue:other type");

    CPropertyValue made(CTime{expected});
    std::u16string s;
    made.getStringValue(s);
    EXPECT_EQ(s, u"02.03.2004 12:00:01");

    for (const char16_t* bad : {u"2.03.2004 12:00:01", u"02.03.04 12:00:01", u"02.03.2004 24:00:00",
                                u"31.13.2004 10:00:00", u"02.03.2004  12:00:01",
                                u"02.03.2004 12:00", u"00.03.2004 12:00:01"}) {
        CPropertyValue v(bad);
        EXPECT_EQ(thrown([&] { v.getCTimeValue(t); }),
                  u"CPropertyValue::getCTimeValue: NotACtimeString")
            << testing::PrintToString(std::u16string(bad));
    }
}

}  // namespace
}  // namespace vt
