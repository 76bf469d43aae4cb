#include "platform/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace vt::plat {
namespace {

using test::readFileBytes;
using test::writeFileBytes;

// Each test has its own registry file in its sandbox.
class RegistryTest : public test::SandboxedTest {
  protected:
    std::u16string file() const { return home_ / u"registry.reg"; }

    RegKey createKey(const std::u16string& path, RegRoot root = RegRoot::CurrentUser) {
        RegKey key;
        EXPECT_EQ(RegKey::root(root).create(path, &key), kErrorSuccess) << toUtf8(path);
        return key;
    }

    // Writes the file as an editor would, giving it a modification time of its own.
    void writeRegistry(const std::string& text) {
        writeFileBytes(file(), text);
        static int64_t stamp = 1700000000;
        timespec times[2] = {{stamp, 0}, {stamp, 0}};
        ++stamp;
        ASSERT_EQ(utimensat(AT_FDCWD, toUtf8(file()).c_str(), times, 0), 0);
    }

    // Points the registry at a copy of the file, so that what follows reads it afresh.
    void switchToCopyOfFile() {
        auto bytes = readFileBytes(file());
        ASSERT_TRUE(bytes);
        writeFileBytes(copy_ / u"registry.reg", *bytes);
        setEnv("VANTREL_HOME", copy_.path());
    }

    uint32_t countValues(const RegKey& key) {
        std::u16string name;
        uint32_t n = 0;
        while (key.enumValue(n, &name) == kErrorSuccess) ++n;
        return n;
    }

    test::TempDir copy_;
};

TEST_F(RegistryTest, QueryReportsTypeAndExactSizes) {
    RegKey key;
    bool created = false;
    ASSERT_EQ(
        RegKey::root(RegRoot::CurrentUser).create(u"Software\\Orvane\\MorVex", &key, &created),
        kErrorSuccess);
    EXPECT_TRUE(created);
    ASSERT_EQ(key.setString(u"Root", u"/home/u/Notes"), kErrorSuccess);  // 13 characters

    uint32_t type = 0, size = 0;
    EXPECT_EQ(key.queryValue(u"Root", &type, nullptr, &size), kErrorSuccess);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(size, 28u);  // UTF-16 with the terminating zero
    char16_t small[13];
    size = sizeof small;
    EXPECT_EQ(key.queryValue(u"Root", &type, small, &size), kErrorMoreData);
    EXPECT_EQ(size, 28u);
    char16_t exact[14];
    size = sizeof exact;
    ASSERT_EQ(key.queryValue(u"Root", &type, exact, &size), kErrorSuccess);
    EXPECT_EQ(std::u16string(exact), u"/home/u/Notes");

    uint32_t dword = 0;
    EXPECT_EQ(key.queryValue(u"Missing", &type, nullptr, &size), kErrorFileNotFound);
    EXPECT_EQ(key.queryDword(u"Root", &dword), kErrorUnsupportedType);
    RegKey again, missing;
    EXPECT_EQ(
        RegKey::root(RegRoot::CurrentUser).create(u"Software\\Orvane\\MorVex", &again, &created),
        kErrorSuccess);
    EXPECT_FALSE(created);
    EXPECT_EQ(RegKey::root(RegRoot::CurrentUser).open(u"Software\\Nothing", &missing),
              kErrorFileNotFound);
    EXPECT_FALSE(missing.valid());
    EXPECT_EQ(RegKey::root(RegRoot::LocalMachine).open(u"Software\\Orvane", &missing),
              kErrorFileNotFound);
}

TEST_F(RegistryTest, NamesIgnoreAsciiCaseAndKeepTheirFirstSpelling) {
    RegKey key = createKey(u"Software\\MixedCase");
    ASSERT_EQ(key.setDword(u"Count", 1), kErrorSuccess);
    RegKey same;
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).open(u"SOFTWARE\\mixedcase", &same, true),
              kErrorSuccess);
    ASSERT_EQ(same.setDword(u"COUNT", 2), kErrorSuccess);

    uint32_t v = 0;
    EXPECT_EQ(key.queryDword(u"count", &v), kErrorSuccess);
    EXPECT_EQ(v, 2u);
    std::u16string name;
    EXPECT_EQ(key.enumValue(0, &name), kErrorSuccess);
    EXPECT_EQ(name, u"Count");
    EXPECT_EQ(key.enumValue(1, &name), kErrorNoMoreItems);
    RegKey software;
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).open(u"software", &software), kErrorSuccess);
    EXPECT_EQ(software.enumSubKey(0, &name), kErrorSuccess);
    EXPECT_EQ(name, u"MixedCase");
    EXPECT_EQ(software.enumSubKey(1, &name), kErrorNoMoreItems);

    createKey(u"Software\\\u00C4rger");  // only ASCII letters fold
    EXPECT_EQ(software.open(u"\u00E4rger", &same), kErrorFileNotFound);
}

TEST_F(RegistryTest, DeletionRulesAndHandlesOfDeletedKeys) {
    RegKey inner = createKey(u"Software\\A\\B");
    RegKey software;
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).open(u"Software", &software, true), kErrorSuccess);
    EXPECT_EQ(software.deleteKey(u"A"), kErrorAccessDenied);
    EXPECT_EQ(software.deleteTree(u"A"), kErrorSuccess);
    RegKey gone;
    EXPECT_EQ(software.open(u"A", &gone), kErrorFileNotFound);
    EXPECT_EQ(software.deleteKey(u"A"), kErrorFileNotFound);
    EXPECT_EQ(software.deleteTree(u"A"), kErrorFileNotFound);
    EXPECT_EQ(inner.setDword(u"x", 1), kErrorKeyDeleted);
    std::u16string name;
    EXPECT_EQ(inner.enumValue(0, &name), kErrorKeyDeleted);

    RegKey leaf = createKey(u"Software\\Leaf");
    ASSERT_EQ(leaf.setString(u"", u"default"), kErrorSuccess);
    EXPECT_EQ(leaf.deleteValue(u"missing"), kErrorFileNotFound);
    EXPECT_EQ(leaf.deleteValue(u""), kErrorSuccess);
    EXPECT_EQ(software.deleteKey(u"LEAF"), kErrorSuccess);

    RegKey readOnly;
    createKey(u"Software\\Ro");
    ASSERT_EQ(software.open(u"Ro", &readOnly), kErrorSuccess);
    EXPECT_EQ(readOnly.setDword(u"x", 1), kErrorAccessDenied);
    readOnly.close();
    EXPECT_EQ(readOnly.setDword(u"x", 1), kErrorInvalidHandle);
}

TEST_F(RegistryTest, SubkeysEnumerateInFileOrderWithNewOnesLast) {
    writeRegistry(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Zeta]\n\n"
        "[HKEY_CURRENT_USER\\Software\\Alpha]\n");
    createKey(u"Software\\Mid");
    RegKey software = createKey(u"Software");
    std::vector<std::u16string> names;
    std::u16string name;
    for (uint32_t i = 0; software.enumSubKey(i, &name) == kErrorSuccess; ++i) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Zeta", u"Alpha", u"Mid"}));
}

TEST_F(RegistryTest, ValuesSurviveAFreshReadOfTheFile) {
    const std::u16string path = u"C:\\Notes\\\"quoted\"";
    const std::u16string foreign = u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600";
    const std::u16string twoLines = u"first\r\nsecond";
    std::vector<uint8_t> blob(100);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7);
    {
        RegKey key = createKey(u"Software\\Orvane\\Round \"Trip\"");
        ASSERT_EQ(key.setString(u"Path", path), kErrorSuccess);
        ASSERT_EQ(key.setString(u"Na\"me\\", foreign), kErrorSuccess);
        ASSERT_EQ(key.setString(u"", u""), kErrorSuccess);
        ASSERT_EQ(key.setDword(u"Count", 10), kErrorSuccess);
        ASSERT_EQ(key.setString(u"Lines", twoLines), kErrorSuccess);
        ASSERT_EQ(key.setValue(u"Blob", kRegBinary, blob.data(), 100), kErrorSuccess);
        createKey(u"Software\\Orvane\\Round \"Trip\"\\Empty\\Deeper");
    }
    std::string text = readFileBytes(file()).value();
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n[", 0), 0u) << text;
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Orvane]\n"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("Path"="C:\\Notes\\\"quoted\"")"), std::string::npos) << text;
    EXPECT_NE(text.find("@=\"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Count\"=dword:0000000a\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Na\\\"me\\\\\"=\"" + toUtf8(foreign) + "\""), std::string::npos);
    EXPECT_NE(text.find("Round \"Trip\"\\Empty]\n"), std::string::npos) << text;

    switchToCopyOfFile();
    RegKey key;
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).open(u"software\\orvane\\round \"trip\"", &key),
              kErrorSuccess);
    std::u16string s;
    uint32_t d = 0;
    EXPECT_EQ(key.queryString(u"Path", &s), kErrorSuccess);
    EXPECT_EQ(s, path);
    EXPECT_EQ(key.queryString(u"na\"ME\\", &s), kErrorSuccess);
    EXPECT_EQ(s, foreign);
    EXPECT_EQ(key.queryString(u"", &s), kErrorSuccess);
    EXPECT_EQ(s, u"");
    EXPECT_EQ(key.queryDword(u"Count", &d), kErrorSuccess);
    EXPECT_EQ(d, 10u);
    EXPECT_EQ(key.queryString(u"Lines", &s), kErrorSuccess);
    EXPECT_EQ(s, twoLines);
    std::vector<uint8_t> back(200);
    uint32_t type = 0, size = 200;
    EXPECT_EQ(key.queryValue(u"Blob", &type, back.data(), &size), kErrorSuccess);
    back.resize(size);
    EXPECT_EQ(type, kRegBinary);
    EXPECT_EQ(back, blob);
    RegKey deeper;
    EXPECT_EQ(key.open(u"Empty\\Deeper", &deeper), kErrorSuccess);
}

TEST_F(RegistryTest, ReadsBomCrlfRegedit4AndContinuedHexLines) {
    createKey(u"Software\\Old");  // the process has a copy of the file to notice the change in
    writeRegistry(
        "\xEF\xBB\xBFREGEDIT4\r\n\r\n"
        "; a comment\r\n"
        "[HKLM\\Software\\X]\r\n"
        "\"Bin\"=hex:01,02,\\\r\n"
        "  03\r\n"
        "@=\"d\"\r\n"
        "\"Exp\"=hex(2):25,00,00,00\r\n");
    testing::internal::CaptureStderr();
    RegKey key;
    ASSERT_EQ(RegKey::root(RegRoot::LocalMachine).open(u"Software\\X", &key), kErrorSuccess);
    uint8_t bin[8];
    uint32_t type = 0, size = sizeof bin;
    EXPECT_EQ(key.queryValue(u"Bin", &type, bin, &size), kErrorSuccess);
    EXPECT_EQ(std::vector<uint8_t>(bin, bin + size), (std::vector<uint8_t>{1, 2, 3}));
    std::u16string s;
    EXPECT_EQ(key.queryString(u"", &s), kErrorSuccess);
    EXPECT_EQ(s, u"d");
    EXPECT_EQ(key.queryString(u"Exp", &s), kErrorSuccess);
    EXPECT_EQ(s, u"%");
    RegKey old;
    EXPECT_EQ(RegKey::root(RegRoot::CurrentUser).open(u"Software\\Old", &old), kErrorFileNotFound);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(RegistryTest, DamagedFileIsReportedOnceAndNeverOverwritten) {
    const std::string damaged =
        "Windows Registry Editor Version 5.00\n"
        "\n"
        "[HKEY_CURRENT_USER\\Software\\Good]\n"
        "\"Name\"=\"kept\"\n"
        "\"Broken\"=dword:xyz\n"
        "[-HKEY_CURRENT_USER\\Software\\Gone]\n";
    writeRegistry(damaged);
    testing::internal::CaptureStderr();
    RegKey key;
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).open(u"Software\\Good", &key, true),
              kErrorSuccess);
    std::u16string s;
    EXPECT_EQ(key.queryString(u"Name", &s), kErrorSuccess);
    EXPECT_EQ(s, u"kept");
    EXPECT_EQ(key.queryString(u"Broken", &s), kErrorFileNotFound);
    EXPECT_EQ(key.setString(u"Name", u"new"), kErrorRegistryCorrupt);
    EXPECT_EQ(key.deleteValue(u"Name"), kErrorRegistryCorrupt);
    RegKey created;
    EXPECT_EQ(key.create(u"Sub", &created), kErrorRegistryCorrupt);
    std::string err = testing::internal::GetCapturedStderr();

    const std::string line5 = "vantrel: " + toUtf8(file()) + ":5: ";
    size_t at = err.find(line5);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err.find(line5, at + 1), std::string::npos) << "reported twice:\n" << err;
    EXPECT_NE(err.find(":6: deleting keys"), std::string::npos) << err;
    EXPECT_EQ(readFileBytes(file()).value(), damaged);

    writeRegistry("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Good]\n");
    EXPECT_EQ(key.setString(u"Name", u"new"), kErrorSuccess);
}

TEST_F(RegistryTest, MissingFileIsEmptyAndItsFolderIsMadeOnTheFirstWrite) {
    test::TempDir base;
    const std::u16string home = joinPath(base / u"not", u"yet");
    setEnv("VANTREL_HOME", home);
    EXPECT_EQ(registryLocation(), joinPath(home, u"registry.reg"));
    RegKey key;
    std::u16string name;
    EXPECT_EQ(RegKey::root(RegRoot::CurrentUser).open(u"Software", &key), kErrorFileNotFound);
    EXPECT_EQ(RegKey::root(RegRoot::CurrentUser).enumSubKey(0, &name), kErrorNoMoreItems);
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).create(u"Software", &key), kErrorSuccess);
    EXPECT_TRUE(readFileBytes(registryLocation()).has_value());
}

TEST_F(RegistryTest, TwoProcessesKeepEachOthersChanges) {
    constexpr int kEach = 40;
    auto writeMany = [](const std::u16string& prefix) {
        RegKey key;
        if (RegKey::root(RegRoot::CurrentUser).create(u"Software\\Race", &key)) return false;
        for (int i = 0; i < kEach; ++i)
            if (key.setDword(prefix + toU16(i), static_cast<uint32_t>(i))) return false;
        return true;
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(writeMany(u"child") ? 0 : 1);
    EXPECT_TRUE(writeMany(u"parent"));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    switchToCopyOfFile();
    EXPECT_EQ(countValues(createKey(u"Software\\Race")), 2u * kEach);
}

TEST_F(RegistryTest, ThreadsKeepEachOthersChanges) {
    constexpr int kThreads = 4, kEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            RegKey key;
            RegKey::root(RegRoot::CurrentUser).create(u"Software\\Threads", &key);
            for (int i = 0; i < kEach; ++i) key.setString(u"v" + toU16(t) + u"_" + toU16(i), u"x");
        });
    for (auto& th : threads) th.join();
    switchToCopyOfFile();
    EXPECT_EQ(countValues(createKey(u"Software\\Threads")), uint32_t{kThreads * kEach});
}

}  // namespace
}  // namespace vt::plat
