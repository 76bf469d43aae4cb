// A file held open by another process for the length of a test: the hold_file program (built
// beside the test programs, tests/support/hold_file.cpp) opened for reading and writing with
// the share mode asked for. Not thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace vt::test {

class HeldFile {
  public:
    // Starts the holder on the existing file at path, mode "exclusive" or "deny-write", and
    // waits until it holds it; its output goes to log. A holder that can't be started or does
    // not get the file fails the test (holding() is then false).
    HeldFile(const std::u16string& path, const std::u16string& mode, const std::u16string& log);
    // Ends the holder if it still runs.
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool holding() const { return holding_; }
    // Ends the holder at once, as a crash would; its exit code (128 + 9 for the kill).
    int kill();

  private:
    int64_t pid_ = -1;
    bool holding_ = false;
};

}  // namespace vt::test
