#include "util/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/registry.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tests/support/held_file.h"
#include "tests/support/temp_dir.h"

namespace vt {
namespace {

using test::readFileBytes;
using test::writeFileBytes;

// Each test gets its own registry (VANTREL_HOME) and its own log folder (TMP).
class LoggerTest : public test::SandboxedTest {
  protected:
    LoggerTest() {
        oldTmp_ = plat::getEnv("TMP");
        plat::setEnv("TMP", logDir_.path());
    }
    ~LoggerTest() override {
        Logger::shutdown();
        plat::setEnv("TMP", oldTmp_);
    }

    std::u16string logFile(const std::u16string& name) { return logDir_ / name; }

    void setLevels(const std::u16string& text) {
        plat::RegKey key;
        ASSERT_EQ(plat::RegKey::root(plat::RegRoot::LocalMachine)
                      .create(u"Software\\Orvane\\MorVex", &key),
                  plat::kErrorSuccess);
        ASSERT_EQ(key.setString(u"Logging Levels", text), plat::kErrorSuccess);
    }

    // Starts the logger as the module does, on the levels in the registry.
    static bool start() {
        return Logger::initialize(u"Vantrel.lgt", u"Software\\Orvane\\MorVex", u"Logging Levels",
                                  5);
    }

    std::vector<std::string> logLines() {
        auto bytes = readFileBytes(logFile(u"Vantrel.lgt"));
        std::vector<std::string> lines;
        if (!bytes) return lines;
        std::istringstream in(*bytes);
        // Lines end in CRLF on Windows.
        for (std::string l; std::getline(in, l);) {
            if (!l.empty() && l.back() == '\r') l.pop_back();
            lines.push_back(l);
        }
        return lines;
    }

    test::TempDir logDir_;
    std::optional<std::u16string> oldTmp_;
};

TEST_F(LoggerTest, RotationShiftsNumberedFilesAndDropsTheOldest) {
    writeFileBytes(logFile(u"Vantrel.lgt"), "plain");
    for (int i = 1; i <= 9; ++i)
        writeFileBytes(logFile(u"Vantrel(" + toU16(i) + u").lgt"), std::to_string(i));

    EXPECT_EQ(Logger::makeLogFileName(u"Vantrel.lgt", 5), logFile(u"Vantrel.lgt"));

    EXPECT_FALSE(readFileBytes(logFile(u"Vantrel.lgt")));
    EXPECT_EQ(readFileBytes(logFile(u"Vantrel(1).lgt")), "plain");
    EXPECT_EQ(readFileBytes(logFile(u"Vantrel(2).lgt")), "1");
    EXPECT_EQ(readFileBytes(logFile(u"Vantrel(3).lgt")), "2");
    EXPECT_EQ(readFileBytes(logFile(u"Vantrel(4).lgt")), "3");
    for (int i = 5; i <= 9; ++i)
        EXPECT_FALSE(readFileBytes(logFile(u"Vantrel(" + toU16(i) + u").lgt"))) << i;
}

TEST_F(LoggerTest, KeepCountOneDeletesNumbersZeroToFiveAndMovesNothing) {
    writeFileBytes(logFile(u"a.log"), "plain");
    for (int i = 0; i <= 6; ++i) writeFileBytes(logFile(u"a(" + toU16(i) + u").log"), "x");
    Logger::makeLogFileName(u"a.log", 1);
    EXPECT_EQ(readFileBytes(logFile(u"a.log")), "plain");
    for (int i = 0; i <= 5; ++i) EXPECT_FALSE(readFileBytes(logFile(u"a(" + toU16(i) + u").log")));
    EXPECT_TRUE(readFileBytes(logFile(u"a(6).log")));
}

TEST_F(LoggerTest, NamesWithoutBaseOrExtensionGetDefaults) {
    EXPECT_EQ(Logger::makeLogFileName(u"noext", 2), logFile(u"noext"));
    EXPECT_EQ(Logger::makeLogFileName(u".lgt", 2), logFile(u"_AS_logger.lgt"));
    EXPECT_EQ(Logger::makeLogFileName(u"", 2), logFile(u"_AS_logger.tmp"));
    writeFileBytes(logFile(u"a.b.c"), "old");
    EXPECT_EQ(Logger::makeLogFileName(u"a.b.c", 2), logFile(u"a.b.c"));
    EXPECT_EQ(readFileBytes(logFile(u"a.b(1).c")), "old");
}

// The log folder is shared with every user and program: a link planted at the log's name must
// not make the module write, cut or create the file it leads to.
TEST_F(LoggerTest, TheLogIsNeverOpenedThroughALink) {
    test::TempDir elsewhere;
    const std::u16string victim = elsewhere / u"victim.txt";
    writeFileBytes(victim, "someone else's file");
    if (!test::makeSymlink(victim, logFile(u"Vantrel.lgt"), false))
        GTEST_SKIP() << "no symbolic links on this system";
    {
        Logger l(logFile(u"Vantrel.lgt"), LOG_NOTE);
        EXPECT_FALSE(l.hasFile());
        l.log(u"goes nowhere", u"X", LOG_CRITICAL);
    }
    EXPECT_EQ(readFileBytes(victim), "someone else's file");

    std::filesystem::remove(toUtf8(logFile(u"Vantrel.lgt")));
    ASSERT_TRUE(test::makeSymlink(elsewhere / u"new.txt", logFile(u"Vantrel.lgt"), false));
    {
        Logger l(logFile(u"Vantrel.lgt"), LOG_NOTE);
        EXPECT_FALSE(l.hasFile());
    }
    EXPECT_FALSE(readFileBytes(elsewhere / u"new.txt")) << "a dangling link's target was created";
}

// Another process of the module logs into the same folder: a second start neither cuts nor
// rotates away the file the first one writes, and goes on without a log.
TEST_F(LoggerTest, ALogThatAnotherProcessWritesIsLeftAlone) {
    setLevels(u"Default,LOG_ALL");
    writeFileBytes(logFile(u"Vantrel.lgt"), "the first process's lines\n");
    test::HeldFile first(logFile(u"Vantrel.lgt"), u"deny-write", logDir_ / u"holder.out");
    ASSERT_TRUE(first.holding());
    ASSERT_TRUE(start());
    EXPECT_FALSE(Logger::instance()->hasFile());
    LogChannel(u"X").critic(u"goes nowhere");
    EXPECT_EQ(Logger::shutdown(), 1);
    EXPECT_EQ(readFileBytes(logFile(u"Vantrel.lgt")), "the first process's lines\n");
}

TEST_F(LoggerTest, SilentWithoutTheRegistryValue) {
    ASSERT_TRUE(start());
    ASSERT_NE(Logger::instance(), nullptr);
    EXPECT_FALSE(Logger::instance()->hasFile());
    LogChannel(u"X").critic(u"nobody hears this");
    EXPECT_FALSE(readFileBytes(logFile(u"Vantrel.lgt")));
    EXPECT_EQ(Logger::shutdown(), 1);
    EXPECT_EQ(Logger::shutdown(), 0);
    LogChannel(u"X").critic(u"no logger, no crash");
}

TEST_F(LoggerTest, SettingsIgnoreSpacesAndEmptyPieces) {
    setLevels(u"Default , LOG_ALL ; X,LOG_HIGH ;;");
    ASSERT_TRUE(start());
    Logger* l = Logger::instance();
    ASSERT_TRUE(l->hasFile());
    EXPECT_EQ(l->defaultLevel(), LOG_ALL);
    EXPECT_EQ(l->levelFor(u"X"), LOG_HIGH);
    EXPECT_EQ(l->levelFor(u"Y"), LOG_ALL);
}

TEST_F(LoggerTest, BadEntriesAreReportedAndSkipped) {
    setLevels(u"NoComma;,LOG_HIGH;Y,;Z,LOG_BOGUS;W,LOG_CRITICAL");
    ASSERT_TRUE(start());
    Logger* l = Logger::instance();
    EXPECT_EQ(l->defaultLevel(), LOG_NOTE);
    EXPECT_EQ(l->levelFor(u"Z"), LOG_NOTE);
    EXPECT_EQ(l->levelFor(u"W"), LOG_CRITICAL);
    Logger::shutdown();
    std::string all;
    for (const auto& line : logLines()) all += line + "\n";
    EXPECT_THAT(all, testing::HasSubstr(" !  ::setLoggingLevels Not a value pair :'NoComma'"));
    EXPECT_THAT(all, testing::HasSubstr(" !  ::setLoggingLevels Not a value pair :',LOG_HIGH'"));
    EXPECT_THAT(all, testing::HasSubstr(" !  ::setLoggingLevels Not a value pair :'Y,'"));
    EXPECT_THAT(all, testing::HasSubstr(" !  ::setLoggingLevels no log level :'Z,LOG_BOGUS'"));
    EXPECT_THAT(all, testing::HasSubstr("    ::registerLevel for module W, val = 5"));
}

TEST_F(LoggerTest, LineFormatMarkersAndThresholds) {
    setLevels(u"Default,LOG_HIGH;(genut)CStorage,LOG_TRACING");
    ASSERT_TRUE(start());
    LogChannel storage(u"(genut)CStorage");
    LogChannel other(u"A module name much longer than twenty-five");
    storage.high(u"first\nsecond");
    storage.trace(u"traced");
    other.trace(u"filtered out");
    other.critic(u"kept");
    EXPECT_TRUE(storage.tracing());
    EXPECT_FALSE(other.tracing());
    Logger::shutdown();

    auto lines = logLines();
    std::vector<std::string> ours;
    for (const auto& l : lines)
        if (l.find("::Logger") == std::string::npos && l.find("Logger  ") == std::string::npos)
            ours.push_back(l);
    ASSERT_EQ(ours.size(), 3u) << testing::PrintToString(lines);
    const std::regex head(R"(^\[0x[0-9A-F ]{4,}\] \d\d:\d\d:\d\d )");
    for (const auto& l : ours) EXPECT_TRUE(std::regex_search(l, head)) << l;
    EXPECT_THAT(ours[0], testing::EndsWith("(genut)CStorage          ::!!  first second"));
    EXPECT_THAT(ours[1], testing::EndsWith("(genut)CStorage          ::    traced"));
    EXPECT_THAT(ours[2], testing::EndsWith("A module name much longer::!!! kept"));
}

TEST_F(LoggerTest, LinesFromManyThreadsNeverInterleave) {
    setLevels(u"Default,LOG_ALL");
    ASSERT_TRUE(start());
    const std::u16string payload(200, u'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            LogChannel log(u"T");
            for (int i = 0; i < 300; ++i) log.critic(payload);
        });
    for (auto& t : threads) t.join();
    Logger::shutdown();
    int count = 0;
    for (const auto& l : logLines()) {
        if (l.find("T                        ::!!! ") == std::string::npos) continue;
        ++count;
        EXPECT_THAT(l, testing::EndsWith("::!!! " + std::string(200, 'x')));
    }
    EXPECT_EQ(count, 1200);
}

}  // namespace
}  // namespace vt
