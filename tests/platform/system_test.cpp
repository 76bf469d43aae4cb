// Contract tests of platform/system.h.
#include "platform/system.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/file.h"
#include "tests/support/temp_dir.h"

namespace vt::plat {
namespace {

class SystemTest : public ::testing::Test {
  protected:
    test::TempDir dir_;
};

TEST_F(SystemTest, ThreadIdsDiffer) {
    uint32_t mine = currentThreadId();
    EXPECT_EQ(currentThreadId(), mine);
    uint32_t other = mine;
    std::thread([&] { other = currentThreadId(); }).join();
    EXPECT_NE(other, mine);
}

TEST_F(SystemTest, ErrorTexts) {
    uint32_t attributes;
    int notFound = getFileAttributes(dir_ / u"missing", &attributes);
    ASSERT_NE(notFound, 0);
    EXPECT_FALSE(systemErrorText(notFound).empty());
    EXPECT_TRUE(systemErrorText(987654).empty());
}

TEST_F(SystemTest, SharedLibraryFailureSaysWhy) {
    std::u16string error;
    EXPECT_EQ(SharedLibrary::load(dir_ / u"missing-library", &error), nullptr);
    EXPECT_FALSE(error.empty());
    test::writeFileBytes(dir_ / u"not-a-library", "plain text");
    error.clear();
    EXPECT_EQ(SharedLibrary::load(dir_ / u"not-a-library", &error), nullptr);
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace vt::plat
