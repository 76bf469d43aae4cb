// A fresh temporary folder per test, removed with everything in it at the end, and a test
// fixture that also points VANTREL_HOME (registry file, application data) into it; and a
// scope that moves the process's current folder. Not thread-safe: the current folder and the
// environment are the whole process's.
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

// Makes a symbolic link at link that leads to target (a folder when folder is true); false
// where this system or user can't make one (tests that need one skip).
bool makeSymlink(const std::u16string& target, const std::u16string& link, bool folder);

// Makes folder the process's current folder for the scope's life, then restores the old one.
class ScopedCurrentPath {
  public:
    explicit ScopedCurrentPath(const std::u16string& folder);
    ~ScopedCurrentPath();
    ScopedCurrentPath(const ScopedCurrentPath&) = delete;
    ScopedCurrentPath& operator=(const ScopedCurrentPath&) = delete;

  private:
    std::string old_;
};

// A test whose registry and application data live in its own temporary folder.
class SandboxedTest : public ::testing::Test {
  protected:
    // Points VANTREL_HOME at home_; where the registry is the real one, also clears the
    // product's keys before and after the test.
    SandboxedTest();
    ~SandboxedTest() override;
    TempDir home_;

  private:
    std::optional<std::u16string> oldHome_;
};

}  // namespace vt::test
