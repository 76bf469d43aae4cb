// The log channel of the controller, module "NotesC NotesCONTROLLER".
#pragma once

#include "util/logger.h"

namespace vt {

inline const LogChannel& controllerLog() {
    static const LogChannel log(u"NotesC NotesCONTROLLER");
    return log;
}

}  // namespace vt
