// A fresh temporary folder per test, removed with everything in it at the end, and a test
// fixture that also points VANTREL_HOME (registry file, application data) into it.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vt::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::u16string& path() const { return path_; }
    std::string path8() const;
    // path + separator + name
    std::u16string operator/(const std::u16string& name) const;

private:
    std::u16string path_;
};

// Writes bytes to a file, replacing it; reads a whole file (nullopt when missing).
void writeFileBytes(const std::u16string& path, const std::string& bytes);
std::optional<std::string> readFileBytes(const std::u16string& path);

// A test whose registry and application data live in its own temporary folder.
class SandboxedTest : public ::testing::Test {
protected:
    SandboxedTest();
    ~SandboxedTest() override;
    TempDir home_;

private:
    std::optional<std::u16string> oldHome_;
};

}  // namespace vt::test
