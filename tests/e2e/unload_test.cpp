// Loading and unloading the module again and again in one process, with a session each time:
// the module must leave nothing behind when it goes (LeakSanitizer checks that in sanitizer
// builds) and must work again from scratch when it comes back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "host/commands.h"
#include "host/module_host.h"
#include "host/phone_link.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tests/e2e/e2e_support.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace vt::test {
namespace {

using testing::ElementsAre;

// Whether the module's file is mapped into this process; nullopt where the process's mappings
// can't be read.
std::optional<bool> moduleMapped() {
    std::ifstream maps("/proc/self/maps");
    if (!maps) return std::nullopt;
    const std::string module = toUtf8(host::defaultModulePath());
    std::string line;
    while (std::getline(maps, line))
        if (line.size() >= module.size() &&
            line.compare(line.size() - module.size(), module.size(), module) == 0)
            return true;
    return false;
}

using ModuleUnloadTest = HostE2ETest;

TEST_F(ModuleUnloadTest, TheModuleUnloadsAfterEachSessionAndWorksAgainWhenReloaded) {
    ASSERT_NE(moduleMapped(), std::optional<bool>(true)) << "the module is kept loaded";
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        // The way a host loads it; nothing else holds the module meanwhile.
        std::u16string error;
        std::unique_ptr<plat::SharedLibrary> lib =
            plat::SharedLibrary::load(host::defaultModulePath(), &error);
        ASSERT_TRUE(lib) << toUtf8(error);
        auto canUnloadNow = reinterpret_cast<HRESULT (*)()>(lib->symbol("DllCanUnloadNow"));
        ASSERT_TRUE(canUnloadNow);
        EXPECT_EQ(canUnloadNow(), S_OK);
        lib.reset();
        EXPECT_NE(moduleMapped(), std::optional<bool>(true));

        const std::u16string n(1, static_cast<char16_t>(u'0' + round));
        writePc(u"phone", u"pc" + n + u".txt", "pc " + std::to_string(round));
        writePhone(u"phone", u"p" + n, "phone " + std::to_string(round));
        host::SessionReport r = syncOnce(setup());
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.stats.sentAdds, 1);
        EXPECT_EQ(r.stats.appliedAdds, 1);
        EXPECT_NE(moduleMapped(), std::optional<bool>(true)) << "the host did not unload it";
    }
    EXPECT_EQ(phoneTexts(), pcTexts());
    EXPECT_THAT(phoneTexts(), ElementsAre("pc 0", "pc 1", "pc 2", "pc 3", "phone 0", "phone 1",
                                          "phone 2", "phone 3"));
#if defined(__SANITIZE_ADDRESS__)
    // Whatever an unloaded module left in the heap is unreachable now.
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

}  // namespace
}  // namespace vt::test
