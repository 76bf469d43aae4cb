// The process-wide diagnostic log.
//
// Logging is off unless the registry value named at initialize() exists under
// HKEY_LOCAL_MACHINE; its text sets a default threshold and per-module thresholds
// ("Default,LOG_HIGH;(genut)CStorage,LOG_TRACING"). Each start rotates the previous logs to
// numbered names (Vantrel(1).lgt is the newest). Every class logs through a LogChannel that
// names its module. A log that another process of the module still writes is neither moved,
// removed nor cut: the platform refuses to rename or remove a file held open, and the second
// process runs without a log.
//
// Thread safety: log() and the channels may be used from any thread; whole lines are written
// under a lock and never interleave. initialize() and shutdown() run only at module start and
// exit, when no other thread logs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"

namespace vt {

enum LogLevel : int32_t {
    LOG_ALL = 0,
    LOG_TRACING = 1,
    LOG_NOTE = 2,
    LOG_MEDIUM = 3,
    LOG_HIGH = 4,
    LOG_CRITICAL = 5,
};

class Logger {
  public:
    // Creates the process-wide logger unless one exists; true when one exists afterwards.
    static bool initialize(const std::u16string& logFileName, const std::u16string& settingsSubKey,
                           const std::u16string& settingsValueName, int keepCount);
    // Destroys the process-wide logger; 1 if there was one, else 0.
    static int shutdown();
    static Logger* instance();

    // Rotates the numbered copies of logFileName in the log folder and returns the plain name.
    static std::u16string makeLogFileName(const std::u16string& logFileName, int keepCount);
    // The level for one of the six names; throws std::invalid_argument for any other.
    static LogLevel levelFromName(const std::u16string& name);

    // A logger without a file (silent), or one writing to fileName. A fileName that is a
    // symbolic link, or a log that another process writes, gives a logger without a file.
    Logger();
    Logger(const std::u16string& fileName, int32_t defaultLevel);
    virtual ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void log(const std::u16string& message, const std::u16string& module, int32_t level);
    void writeLine(const std::u16string& module, const std::u16string& marker,
                   const std::u16string& message);
    void registerLevel(const std::u16string& module, int32_t level);
    void setLoggingLevels(const std::u16string& settings);

    bool hasFile() const { return out_ != nullptr; }
    int32_t defaultLevel() const { return defaultLevel_; }
    // The threshold that applies to module.
    int32_t levelFor(const std::u16string& module) const;

  private:
    int32_t defaultLevel_ = LOG_CRITICAL;
    std::unique_ptr<plat::File> out_;
    uint64_t outPos_ = 0;
    std::map<std::u16string, int32_t*> moduleLevels_;
    std::vector<std::unique_ptr<int32_t>> levels_;
    std::mutex writeMutex_;
};

// A module's way into the process-wide logger. Cheap to build (it copies the name); writes
// nothing while no logger exists.
class LogChannel {
  public:
    explicit LogChannel(std::u16string module) : module_(std::move(module)) {}
    void trace(const std::u16string& message) const { write(message, LOG_TRACING); }
    void high(const std::u16string& message) const { write(message, LOG_HIGH); }
    void critic(const std::u16string& message) const { write(message, LOG_CRITICAL); }
    const std::u16string& module() const { return module_; }
    // True when a message of this level would be written; lets hot paths skip formatting.
    bool enabled(int32_t level) const;
    bool tracing() const { return enabled(LOG_TRACING); }

  private:
    void write(const std::u16string& message, int32_t level) const;
    std::u16string module_;
};

}  // namespace vt
