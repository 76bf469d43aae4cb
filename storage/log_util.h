// Logging helpers of the storage classes: trace lines are formatted only when some logger
// would write them, so hot paths cost one pointer test while logging is off.
// Thread-safe as the logger is.
#pragma once

#include <string>
#include <type_traits>

#include "platform/format.h"
#include "util/logger.h"

namespace vt::storage_detail {

// True when a trace line of this channel would reach a log file.
inline bool traceOn(const LogChannel& channel) {
    return channel.tracing();
}

// Formats and writes a trace line when traceOn(channel).
template <class... Args>
void traceF(const LogChannel& channel, FormatString<std::type_identity_t<Args>...> fmt,
            const Args&... args) {
    if (traceOn(channel)) channel.trace(format(fmt, args...));
}

}  // namespace vt::storage_detail
