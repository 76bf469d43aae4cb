#include "tests/support/held_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/path.h"
#include "platform/process.h"
#include "platform/special_folders.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace vt::test {

HeldFile::HeldFile(const std::u16string& path, const std::u16string& mode,
                   const std::u16string& log) {
    const std::u16string self = plat::hostExecutablePath();
    const std::u16string program = plat::joinPath(self.substr(0, self.rfind(plat::kPathSeparator)),
                                                  fromUtf8(VANTREL_HOLD_FILE_NAME));
    std::u16string error;
    pid_ = plat::startProcess(program, {u"hold_file", path, u"60", mode}, log, &error);
    if (pid_ < 0) {
        ADD_FAILURE() << toUtf8(error);
        return;
    }
    for (int i = 0; i < 3000 && !holding_; ++i) {
        int code = 0;
        if (plat::waitProcessFor(pid_, 10, &code)) {
            pid_ = -1;
            ADD_FAILURE() << "hold_file ended with " << code << ": "
                          << readFileBytes(log).value_or("");
            return;
        }
        holding_ = readFileBytes(log).value_or("").find("holding") != std::string::npos;
    }
    if (!holding_) ADD_FAILURE() << "hold_file did not get " << toUtf8(path);
}

HeldFile::~HeldFile() {
    if (pid_ >= 0) kill();
}

int HeldFile::kill() {
    if (pid_ < 0) return -1;
    plat::killProcess(pid_);
    int code = plat::waitProcess(pid_);
    pid_ = -1;
    holding_ = false;
    return code;
}

}  // namespace vt::test
