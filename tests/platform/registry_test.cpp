#include "platform/registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "platform/path.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace vt::plat {
namespace {

using test::readFileBytes;
using test::writeFileBytes;

// Each test works below a key of its own, HKCU\Software\VantrelTest\<random>, removed at the
// end; on Linux the registry file itself is also the test's own, in its sandbox. Tests of the
// text file's format skip where the registry is the system's.
class RegistryTest : public test::SandboxedTest {
  protected:
    RegistryTest()
        : name_(toU16(std::random_device{}())), base_(u"Software\\VantrelTest\\" + name_) {}

    ~RegistryTest() override {
        RegKey parent;
        if (RegKey::root(RegRoot::CurrentUser).open(u"Software\\VantrelTest", &parent, true))
            return;
        parent.deleteTree(name_);
        parent.close();
        RegKey software;
        if (RegKey::root(RegRoot::CurrentUser).open(u"Software", &software, true) == kErrorSuccess)
            software.deleteKey(u"VantrelTest");  // refused while other runs' keys are in it
    }

    std::u16string file() const { return home_ / u"registry.reg"; }

    // Creates (or opens) the key at path below the test's own key.
    RegKey createKey(const std::u16string& path) {
        RegKey key;
        EXPECT_EQ(RegKey::root(RegRoot::CurrentUser).create(below(path), &key), kErrorSuccess)
            << toUtf8(path);
        return key;
    }
    std::u16string below(const std::u16string& path) const {
        return path.empty() ? base_ : base_ + u"\\" + path;
    }

    // Writes the file as an editor would, giving it a modification time of its own.
    void writeRegistry(const std::string& text) {
        writeFileBytes(file(), text);
        static int64_t stamp = 1700000000;
        std::filesystem::last_write_time(std::filesystem::path(file()),
                                         std::chrono::file_clock::from_sys(std::chrono::sys_seconds(
                                             std::chrono::seconds(stamp++))));
    }

    // Makes what follows read the registry afresh: on Linux the registry is pointed at a copy
    // of the file; the system registry has no copy in this process.
    void readAfresh() {
        if (!registryIsTextFile()) return;
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

    const std::u16string name_;
    const std::u16string base_;
    test::TempDir copy_;
};

// Tests of the text file's format.
#define SKIP_UNLESS_TEXT_FILE() \
    if (!registryIsTextFile()) GTEST_SKIP() << "the registry is not a text file here"

TEST_F(RegistryTest, QueryReportsTypeAndExactSizes) {
    RegKey key;
    bool created = false;
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).create(below(u"Orvane\\MorVex"), &key, &created),
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
    EXPECT_EQ(RegKey::root(RegRoot::CurrentUser).create(below(u"Orvane\\MorVex"), &again, &created),
              kErrorSuccess);
    EXPECT_FALSE(created);
    EXPECT_EQ(RegKey::root(RegRoot::CurrentUser).open(below(u"Nothing"), &missing),
              kErrorFileNotFound);
    EXPECT_FALSE(missing.valid());
    EXPECT_EQ(RegKey::root(RegRoot::LocalMachine).open(below(u"Orvane"), &missing),
              kErrorFileNotFound);
    EXPECT_EQ(RegKey::root(RegRoot::CurrentUser).open(below(u"a\\\\b"), &missing),
              kErrorInvalidParameter);
}

TEST_F(RegistryTest, NamesIgnoreAsciiCaseAndKeepTheirFirstSpelling) {
    RegKey key = createKey(u"Software\\MixedCase");
    ASSERT_EQ(key.setDword(u"Count", 1), kErrorSuccess);
    RegKey same;
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).open(below(u"SOFTWARE\\mixedcase"), &same, true),
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
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).open(below(u"software"), &software),
              kErrorSuccess);
    EXPECT_EQ(software.enumSubKey(0, &name), kErrorSuccess);
    EXPECT_EQ(name, u"MixedCase");
    EXPECT_EQ(software.enumSubKey(1, &name), kErrorNoMoreItems);

    // The text file folds only ASCII letters; the system registry folds all of them.
    createKey(u"Software\\\u00C4rger");
    EXPECT_EQ(software.open(u"\u00E4rger", &same),
              registryIsTextFile() ? kErrorFileNotFound : kErrorSuccess);
}

TEST_F(RegistryTest, DeletionRulesAndHandlesOfDeletedKeys) {
    RegKey inner = createKey(u"Software\\A\\B");
    RegKey software;
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).open(below(u"Software"), &software, true),
              kErrorSuccess);
    EXPECT_EQ(software.deleteKey(u"A"), kErrorAccessDenied);
    EXPECT_EQ(software.deleteKey(u""), kErrorInvalidParameter);
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
    EXPECT_EQ(readOnly.deleteTree(u""), kErrorAccessDenied);
    RegKey sub;
    EXPECT_EQ(readOnly.create(u"New", &sub), kErrorAccessDenied);
    createKey(u"Software\\Ro\\Old");
    EXPECT_EQ(readOnly.create(u"Old", &sub), kErrorSuccess);  // an existing key opens
    readOnly.close();
    EXPECT_EQ(readOnly.setDword(u"x", 1), kErrorInvalidHandle);

    // An empty subkey empties the key and keeps it.
    RegKey full = createKey(u"Full\\Child");
    ASSERT_EQ(createKey(u"Full").setDword(u"v", 1), kErrorSuccess);
    RegKey fullKey = createKey(u"Full");
    ASSERT_EQ(fullKey.deleteTree(u""), kErrorSuccess);
    EXPECT_EQ(fullKey.enumSubKey(0, &name), kErrorNoMoreItems);
    EXPECT_EQ(fullKey.enumValue(0, &name), kErrorNoMoreItems);
    EXPECT_EQ(fullKey.setDword(u"after", 1), kErrorSuccess);
}

TEST_F(RegistryTest, SubkeysEnumerateInFileOrderWithNewOnesLast) {
    SKIP_UNLESS_TEXT_FILE();
    writeRegistry(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\" +
        toUtf8(base_) +
        "\\Zeta]\n\n"
        "[HKEY_CURRENT_USER\\" +
        toUtf8(base_) + "\\Alpha]\n");
    createKey(u"Mid");
    RegKey base = createKey(u"");
    std::vector<std::u16string> names;
    std::u16string name;
    for (uint32_t i = 0; base.enumSubKey(i, &name) == kErrorSuccess; ++i) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Zeta", u"Alpha", u"Mid"}));
}

TEST_F(RegistryTest, ValuesSurviveAFreshRead) {
    const std::u16string path = u"C:\\Notes\\\"quoted\"";
    const std::u16string foreign = u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600";
    const std::u16string twoLines = u"first\r\nsecond";
    std::vector<uint8_t> blob(100);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7);
    {
        RegKey key = createKey(u"Orvane\\Round \"Trip\"");
        ASSERT_EQ(key.setString(u"Path", path), kErrorSuccess);
        ASSERT_EQ(key.setString(u"Na\"me\\", foreign), kErrorSuccess);
        ASSERT_EQ(key.setString(u"", u""), kErrorSuccess);
        ASSERT_EQ(key.setDword(u"Count", 10), kErrorSuccess);
        ASSERT_EQ(key.setString(u"Lines", twoLines), kErrorSuccess);
        ASSERT_EQ(key.setValue(u"Blob", kRegBinary, blob.data(), 100), kErrorSuccess);
        createKey(u"Orvane\\Round \"Trip\"\\Empty\\Deeper");
    }
    readAfresh();
    RegKey key;
    ASSERT_EQ(RegKey::root(RegRoot::CurrentUser).open(below(u"orvane\\round \"trip\""), &key),
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
    EXPECT_EQ(key.queryString(u"Blob", &s), kErrorUnsupportedType);
    RegKey deeper;
    EXPECT_EQ(key.open(u"Empty\\Deeper", &deeper), kErrorSuccess);
}

// What an editor saved is read on the next operation, its bytes as they are (the forms the
// text may take are registry_text_test's).
TEST_F(RegistryTest, AnEditorsVersionIsReadOnTheNextOperation) {
    SKIP_UNLESS_TEXT_FILE();
    createKey(u"Old");  // the process has a copy of the file to notice the change in
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
    std::u16string s;
    EXPECT_EQ(key.queryString(u"Exp", &s), kErrorSuccess);
    EXPECT_EQ(s, u"%");
    RegKey old;
    EXPECT_EQ(RegKey::root(RegRoot::CurrentUser).open(below(u"Old"), &old), kErrorFileNotFound);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(RegistryTest, DamagedFileIsReportedOnceAndNeverOverwritten) {
    SKIP_UNLESS_TEXT_FILE();
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
    SKIP_UNLESS_TEXT_FILE();
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
    namespace fs = std::filesystem;
    for (const std::u16string& folder : {home, base / u"not"})
        EXPECT_EQ(fs::status(fs::path(folder)).permissions() &
                      (fs::perms::group_all | fs::perms::others_all),
                  fs::perms::none)
            << "a folder the registry made is the owner's alone";
}

TEST_F(RegistryTest, TwoProcessesKeepEachOthersChanges) {
    if (!childProcessesSupported()) GTEST_SKIP() << "no child processes on this platform";
    constexpr int kEach = 40;
    const std::u16string race = below(u"Race");
    auto writeMany = [&race](const std::u16string& prefix) {
        RegKey key;
        if (RegKey::root(RegRoot::CurrentUser).create(race, &key)) return false;
        for (int i = 0; i < kEach; ++i)
            if (key.setDword(prefix + toU16(i), static_cast<uint32_t>(i))) return false;
        return true;
    };
    // The child is made before this process touches the registry (a fork copies no other
    // thread, and so no lock another thread holds); both then write at once. While the child
    // is being made this thread must not allocate either: a sanitizer's allocator lock taken
    // here at the moment of the fork would stay taken in the child for ever.
    const std::u16string started = home_ / u"child-started";
    const std::filesystem::path startedPath(started);
    std::error_code noThrow;
    int childCode = -1;
    std::thread child([&] {
        childCode = runInChild([&] {
            writeFileBytes(started, "");
            return writeMany(u"child") ? 0 : 1;
        });
    });
    for (int i = 0; i < 10000 && !std::filesystem::exists(startedPath, noThrow); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(writeMany(u"parent"));
    child.join();
    EXPECT_EQ(childCode, 0);

    readAfresh();
    EXPECT_EQ(countValues(createKey(u"Race")), 2u * kEach);
}

TEST_F(RegistryTest, ThreadsKeepEachOthersChanges) {
    constexpr int kThreads = 4, kEach = 25;
    const std::u16string path = below(u"Threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &path] {
            RegKey key;
            RegKey::root(RegRoot::CurrentUser).create(path, &key);
            for (int i = 0; i < kEach; ++i) key.setString(u"v" + toU16(t) + u"_" + toU16(i), u"x");
        });
    for (auto& th : threads) th.join();
    readAfresh();
    EXPECT_EQ(countValues(createKey(u"Threads")), uint32_t{kThreads * kEach});
}

}  // namespace
}  // namespace vt::plat
