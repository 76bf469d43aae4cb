// The text form of the virtual phone's fault settings, as a host's command line gives it.
#include "engines/virtual_phone/phone_options.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace vt::engines {
namespace {

class PhoneOptionsTest : public ::testing::Test {
  protected:
    std::u16string refusal(std::u16string_view text) {
        VirtualPhoneOptions o;
        o.delayMs = 77;
        std::u16string error;
        EXPECT_FALSE(parseVirtualPhoneOptions(text, &o, &error));
        EXPECT_EQ(o.delayMs, 77) << "options changed by a refused text";
        return error;
    }
};

TEST_F(PhoneOptionsTest, ParsesEveryKeyAndTheEmptyText) {
    VirtualPhoneOptions o;
    std::u16string error;
    ASSERT_TRUE(parseVirtualPhoneOptions(
        u"refuse-status=2, drop-map=1,fail-after=5,cancel-after=3,delay-ms=10,refuse-code=510,"
        u"fail-code=0x80040001,state-error=0x8000FFFF,status-first=1",
        &o, &error))
        << toUtf8(error);
    EXPECT_EQ(o.refuseStatus, 2);
    EXPECT_EQ(o.dropMap, 1);
    EXPECT_EQ(o.failAfter, 5);
    EXPECT_EQ(o.cancelAfter, 3);
    EXPECT_EQ(o.delayMs, 10);
    EXPECT_EQ(o.refuseCode, 510u);
    EXPECT_EQ(o.failCode, static_cast<LONG>(0x80040001));
    EXPECT_EQ(o.stateResult, E_UNEXPECTED);
    EXPECT_TRUE(o.statusFirst);

    VirtualPhoneOptions back;
    ASSERT_TRUE(parseVirtualPhoneOptions(formatVirtualPhoneOptions(o), &back, nullptr));
    EXPECT_EQ(back, o);

    // An empty text gives the defaults, and the defaults an empty text.
    VirtualPhoneOptions empty;
    ASSERT_TRUE(parseVirtualPhoneOptions(u"", &empty, nullptr));
    EXPECT_EQ(empty, VirtualPhoneOptions{});
    EXPECT_EQ(formatVirtualPhoneOptions(empty), u"");
}

TEST_F(PhoneOptionsTest, RefusesUnknownKeysAndBadValuesByName) {
    std::u16string e = refusal(u"delay-ms=1,refuse-stat=2");
    EXPECT_NE(e.find(u"unknown virtual phone option 'refuse-stat'"), std::u16string::npos)
        << toUtf8(e);
    EXPECT_NE(e.find(u"refuse-status"), std::u16string::npos) << "lists the known keys";
    e = refusal(u"delay-ms=soon");
    EXPECT_NE(e.find(u"'delay-ms'"), std::u16string::npos) << toUtf8(e);
    EXPECT_NE(e.find(u"'soon'"), std::u16string::npos) << toUtf8(e);
    refusal(u"fail-after");
    refusal(u"fail-after=-2");
    refusal(u"fail-code=0x123456789");
    refusal(u"status-first=yes");
}

}  // namespace
}  // namespace vt::engines
