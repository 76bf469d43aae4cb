// Contract tests of platform/special_folders.h.
#include "platform/special_folders.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/system.h"
#include "tests/support/temp_dir.h"

namespace vt::plat {
namespace {

class SpecialFoldersTest : public test::SandboxedTest {
  protected:
    static bool isFolder(const std::u16string& path) {
        FileStatus st;
        return getFileStatus(path, &st) && st.isDirectory;
    }
};

TEST_F(SpecialFoldersTest, AppDataFolderLivesUnderVantrelHome) {
    std::u16string folder;
    ASSERT_EQ(appDataFolder(false, &folder), 0);
    EXPECT_EQ(folder.rfind(home_.path(), 0), 0u) << "not under the sandbox";
    EXPECT_FALSE(isFolder(folder));

    std::u16string created;
    ASSERT_EQ(appDataFolder(true, &created), 0);
    EXPECT_EQ(created, folder);
    EXPECT_TRUE(isFolder(created));
    ASSERT_EQ(appDataFolder(true, &created), 0);  // already there
    setEnv("VANTREL_HOME", home_ / u"file");
    test::writeFileBytes(home_ / u"file", "x");
    EXPECT_NE(appDataFolder(true, &folder), 0);
}

TEST_F(SpecialFoldersTest, LoggerTempFolderHonoursTmp) {
    std::optional<std::u16string> old = getEnv("TMP");
    setEnv("TMP", home_.path());
    std::u16string folder = loggerTempFolder();
    EXPECT_EQ(folder, joinPath(home_.path(), u""));

    setEnv("TMP", home_ / u"missing");
    folder = loggerTempFolder();
    setEnv("TMP", old);
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), kPathSeparator);
    EXPECT_EQ(folder.find(u"missing"), std::u16string::npos);
    EXPECT_TRUE(isFolder(folder));
}

}  // namespace
}  // namespace vt::plat
