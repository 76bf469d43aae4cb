#include "util/logger.h"

#include <atomic>
#include <stdexcept>

#include "platform/format.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "platform/time.h"
#include "util/string_split.h"

namespace vt {

namespace {
std::atomic<Logger*> g_instance{nullptr};

constexpr char16_t kOwnModule[] = u"Logger";
constexpr uint32_t kSettingsBufferBytes = 1024;
}  // namespace

bool Logger::initialize(const std::u16string& logFileName, const std::u16string& settingsSubKey,
                        const std::u16string& settingsValueName, int keepCount) {
    if (g_instance.load()) return true;
    auto* silent = new Logger();
    g_instance.store(silent);

    std::u16string fileName = makeLogFileName(logFileName, keepCount);

    plat::RegKey key;
    if (plat::RegKey::root(plat::RegRoot::LocalMachine).open(settingsSubKey, &key) !=
        plat::kErrorSuccess)
        return true;
    char16_t data[kSettingsBufferBytes / 2] = {};
    uint32_t type = 0;
    uint32_t size = kSettingsBufferBytes;
    if (key.queryValue(settingsValueName, &type, data, &size) != plat::kErrorSuccess) return true;
    key.close();

    auto* active = new Logger(fileName, LOG_NOTE);
    g_instance.store(active);
    delete silent;
    if (type == plat::kRegSz && size != 0) {
        std::u16string text(data, size / 2);
        while (!text.empty() && text.back() == u'\0') text.pop_back();
        active->setLoggingLevels(text);
    }
    return true;
}

int Logger::shutdown() {
    Logger* l = g_instance.exchange(nullptr);
    if (!l) return 0;
    delete l;
    return 1;
}

Logger* Logger::instance() {
    return g_instance.load(std::memory_order_acquire);
}

std::u16string Logger::makeLogFileName(const std::u16string& logFileName, int keepCount) {
    std::u16string folder = plat::loggerTempFolder();

    CStringSplit parts(logFileName, u'.');
    std::u16string base, ext;
    if (parts.getCount() == 1) {
        base = parts.getAt(0);
    } else {
        for (int i = 0; i < parts.getCount() - 1; ++i) {
            if (i) base += u'.';
            base += parts.getAt(i);
        }
        ext = u"." + parts.getAt(parts.getCount() - 1);
    }
    if (base.empty()) {
        base = u"_AS_logger";
        if (ext.empty()) ext = u".tmp";
    }

    auto numbered = [&](int n) { return format(u"%s%s(%d)%s", folder, base, n, ext); };
    std::u16string plain = format(u"%s%s%s", folder, base, ext);

    for (int n = keepCount; n < keepCount + 5; ++n) plat::removeFile(numbered(n));
    if (keepCount > 0) {
        plat::removeFile(numbered(keepCount - 1));
        for (int j = keepCount - 1; j >= 1; --j)
            plat::renameFile(j == 1 ? plain : numbered(j - 1), numbered(j));
    }
    return plain;
}

LogLevel Logger::levelFromName(const std::u16string& name) {
    static const struct {
        const char16_t* name;
        LogLevel level;
    } kNames[] = {{u"LOG_ALL", LOG_ALL},   {u"LOG_TRACING", LOG_TRACING},
                  {u"LOG_NOTE", LOG_NOTE}, {u"LOG_MEDIUM", LOG_MEDIUM},
                  {u"LOG_HIGH", LOG_HIGH}, {u"LOG_CRITICAL", LOG_CRITICAL}};
    for (const auto& n : kNames)
        if (name == n.name) return n.level;
    throw std::invalid_argument("unknown log level");
}

Logger::Logger() = default;

Logger::Logger(const std::u16string& fileName, int32_t defaultLevel) : defaultLevel_(defaultLevel) {
    // The log folder is open to every user: a link planted at the name is refused, not
    // followed. While another process writes the log (write access, writers denied) the open
    // fails before cutting anything, and this process logs nothing.
    auto file = std::make_unique<plat::File>();
    if (file->tryOpen(fileName, plat::Access::Write, plat::Disposition::CreateAlways,
                      plat::Share::DenyWrite, nullptr, plat::kOpenNoFollow))
        out_ = std::move(file);
}

Logger::~Logger() {
    if (out_) {
        try {
            out_->close();
        } catch (...) {
        }
    }
}

int32_t Logger::levelFor(const std::u16string& module) const {
    auto it = moduleLevels_.find(module);
    return it != moduleLevels_.end() ? *it->second : defaultLevel_;
}

void Logger::log(const std::u16string& message, const std::u16string& module, int32_t level) {
    if (!out_) return;
    if (level < levelFor(module)) return;
    char16_t marker[3];
    for (int i = 0; i < 3; ++i) marker[i] = (level - i > 2) ? u'!' : u' ';
    writeLine(module, std::u16string(marker, 3), message);
}

void Logger::writeLine(const std::u16string& module, const std::u16string& marker,
                       const std::u16string& message) {
    if (!out_) return;
    plat::LocalTime now;
    if (!plat::toLocalTime(plat::currentTime(), &now)) return;
    std::u16string line = format(u"[0x%-4X] %02i:%02i:%02i %-25.25s::", plat::currentThreadId(),
                                 now.hour, now.minute, now.second, module);
    line += marker;
    line += u' ';
    for (char16_t c : message) line += (c == u'\n') ? u' ' : c;
    std::string bytes = plat::toNativeNarrow(line);
    bytes += plat::kNativeLineEnd;

    std::lock_guard<std::mutex> lock(writeMutex_);
    try {
        out_->writeAt(outPos_, bytes.data(), bytes.size());
        outPos_ += bytes.size();
    } catch (...) {
        // A full disk must not take the module down; the line is lost.
    }
}

void Logger::registerLevel(const std::u16string& module, int32_t level) {
    if (!out_) return;
    writeLine(kOwnModule, u"   ",
              format(u"::registerLevel for module %s, val = %d", module, level));
    levels_.push_back(std::make_unique<int32_t>(level));
    moduleLevels_[module] = levels_.back().get();
}

void Logger::setLoggingLevels(const std::u16string& settings) {
    std::u16string text;
    for (char16_t c : settings)
        if (c != u' ') text += c;

    std::vector<std::u16string> entries;
    const CStringSplit split(text, u';');
    for (const auto& piece : split.pieces())
        if (!piece.empty()) entries.push_back(piece);

    for (const auto& entry : entries) {
        size_t comma = entry.find(u',');
        if (comma == std::u16string::npos || comma == 0 || comma + 1 >= entry.size()) {
            writeLine(kOwnModule, u" ! ", u"::setLoggingLevels Not a value pair :'" + entry + u"'");
            continue;
        }
        std::u16string module = entry.substr(0, comma);
        std::u16string name = entry.substr(comma + 1);
        LogLevel level;
        try {
            level = levelFromName(name);
        } catch (const std::exception&) {
            writeLine(kOwnModule, u" ! ", u"::setLoggingLevels no log level :'" + entry + u"'");
            continue;
        }
        if (module == u"Default") {
            writeLine(kOwnModule, u"   ", u"::setLoggingLevels setting default to " + name);
            defaultLevel_ = level;
        } else {
            registerLevel(module, level);
        }
    }
}

void LogChannel::write(const std::u16string& message, int32_t level) const {
    if (Logger* l = Logger::instance()) l->log(message, module_, level);
}

bool LogChannel::enabled(int32_t level) const {
    Logger* l = Logger::instance();
    return l && l->hasFile() && level >= l->levelFor(module_);
}

}  // namespace vt
