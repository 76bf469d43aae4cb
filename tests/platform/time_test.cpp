// Contract tests of platform/time.h, independent of the machine's time zone and locale.
#include "platform/time.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace vt::plat {
namespace {

class TimeTest : public ::testing::Test {
  protected:
    static LocalTime at(int year, int month, int day, int hour, int minute, int second) {
        return LocalTime{year, month, day, hour, minute, second};
    }
    static std::array<int, 6> parts(const LocalTime& t) {
        return {t.year, t.month, t.day, t.hour, t.minute, t.second};
    }
};

TEST_F(TimeTest, RejectsPartsThatAreNoTime) {
    int64_t t = 0;
    EXPECT_FALSE(fromLocalTime(at(2024, 13, 31, 12, 0, 0), &t));
    EXPECT_FALSE(fromLocalTime(at(2024, 3, 5, 24, 0, 0), &t));
    EXPECT_FALSE(fromLocalTime(at(2024, 3, 5, 12, 0, 60), &t));
    EXPECT_FALSE(fromLocalTime(at(2024, 4, 31, 12, 0, 0), &t));
    EXPECT_FALSE(fromLocalTime(at(2023, 2, 29, 12, 0, 0), &t));
    EXPECT_TRUE(fromLocalTime(at(2024, 2, 29, 12, 0, 0), &t));
}

TEST_F(TimeTest, LocalTimeRoundTrips) {
    int64_t t = 0;
    ASSERT_TRUE(fromLocalTime(at(2024, 3, 5, 12, 34, 56), &t));
    LocalTime back;
    ASSERT_TRUE(toLocalTime(t, &back));
    EXPECT_EQ(parts(back), parts(at(2024, 3, 5, 12, 34, 56)));

    int64_t later = 0;
    ASSERT_TRUE(fromLocalTime(at(2024, 3, 6, 12, 34, 56), &later));
    EXPECT_EQ(later - t, 86400);  // no daylight-saving change in early March

    int64_t now = currentTime();
    LocalTime lt;
    ASSERT_TRUE(toLocalTime(now, &lt));
    int64_t again = 0;
    ASSERT_TRUE(fromLocalTime(lt, &again));
    EXPECT_EQ(again, now);
}

TEST_F(TimeTest, UserLocaleTextShowsDateAndTime) {
    int64_t t = 0;
    ASSERT_TRUE(fromLocalTime(at(2024, 3, 5, 12, 34, 56), &t));
    std::u16string text = userLocaleDateTime(t);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.find(u"24"), std::u16string::npos);  // the year, in two or four digits
    EXPECT_NE(text.find(u"34"), std::u16string::npos);  // the minutes
    EXPECT_NE(userLocaleDateTime(t + 86400), text);
}

}  // namespace
}  // namespace vt::plat
