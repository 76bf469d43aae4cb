// Captures the module's diagnostic log for one test: starts the process-wide logger at every
// level, writing into a folder of its own, and reads back what was written.
//
// Use inside a SandboxedTest (the logging switch is written to the sandbox's registry). Only
// one capture may exist at a time; it shuts the logger down and restores TMP when it ends.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/registry.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"
#include "util/logger.h"

namespace vt::test {

class LogCapture {
  public:
    LogCapture() : oldTmp_(plat::getEnv("TMP")) {
        plat::setEnv("TMP", folder_.path());
        plat::RegKey key;
        EXPECT_EQ(plat::RegKey::root(plat::RegRoot::LocalMachine).create(kKey, &key),
                  plat::kErrorSuccess);
        EXPECT_EQ(key.setString(kValue, u"Default,LOG_ALL"), plat::kErrorSuccess);
        Logger::shutdown();
        EXPECT_TRUE(Logger::initialize(u"Vantrel.lgt", kKey, kValue, 5));
    }
    ~LogCapture() {
        Logger::shutdown();
        plat::setEnv("TMP", oldTmp_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything written so far (UTF-8).
    std::string text() const { return readFileBytes(folder_ / u"Vantrel.lgt").value_or(""); }
    // True when some line holds this text.
    bool has(const std::string& fragment) const {
        return text().find(fragment) != std::string::npos;
    }

  private:
    static constexpr char16_t kKey[] = u"Software\\Orvane\\MorVex";
    static constexpr char16_t kValue[] = u"Logging Levels";

    TempDir folder_;
    std::optional<std::u16string> oldTmp_;
};

}  // namespace vt::test
