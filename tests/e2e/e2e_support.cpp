#include "tests/e2e/e2e_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>

#include "engines/virtual_phone/phone_store.h"
#include "host/commands.h"
#include "host/console.h"
#include "host/module_host.h"
#include "host/note_lists.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "platform/text.h"

namespace vt::test {

namespace fs = std::filesystem;

void bumpWriteTime(const std::u16string& path) {
    static std::atomic<int> step{0};
    fs::path p(toUtf8(path));
    // Far enough ahead that no file the module wrote during this process has the same second.
    fs::last_write_time(
        p, fs::file_time_type::clock::now() + std::chrono::hours(1) + std::chrono::seconds(++step));
}

HostE2ETest::Apartment::Apartment() : hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}

HostE2ETest::Apartment::~Apartment() {
    if (SUCCEEDED(hr)) CoUninitialize();
}

HostE2ETest::HostE2ETest() {
    host::Console::instance().setPlain();
    host::Console::instance().setQuiet(true);
}

HostE2ETest::~HostE2ETest() = default;

void HostE2ETest::SetUp() {
    cwd_ = std::make_unique<ScopedCurrentPath>(home_.path());
    std::u16string error;
    ASSERT_TRUE(host::registerModule(host::defaultModulePath(), &error)) << toUtf8(error);
    ASSERT_EQ(plat::createDirectory(root()), 0);
    ASSERT_EQ(host::writeSetting(host::settings()[0], root()), plat::kErrorSuccess);
    ASSERT_EQ(host::writeSetting(host::settings()[2], u"en"), plat::kErrorSuccess);
}

CommandRun HostE2ETest::run(const std::vector<std::u16string>& args) {
    CommandRun r;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.code = host::runCommandLine(args);
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

std::u16string HostE2ETest::pcFolder(const std::u16string& alias) const {
    return plat::joinPath(plat::joinPath(root(), alias), u"Notes");
}

std::u16string HostE2ETest::store(const std::u16string& alias) const {
    return plat::joinPath(home_ / u"phones-device", alias);
}

host::PhoneSetup HostE2ETest::setup(const std::u16string& alias, const std::u16string& imei) const {
    return host::PhoneSetup{imei, alias, store(alias), u""};
}

void HostE2ETest::writePc(const std::u16string& alias, const std::u16string& name,
                          const std::string& text) {
    ASSERT_EQ(plat::createFolders(pcFolder(alias)), 0);
    const std::u16string path = plat::joinPath(pcFolder(alias), name);
    writeFileBytes(path, text);
    bumpWriteTime(path);
}

void HostE2ETest::removePc(const std::u16string& alias, const std::u16string& name) {
    ASSERT_EQ(plat::removeFile(plat::joinPath(pcFolder(alias), name)), 0);
}

void HostE2ETest::writePhone(const std::u16string& alias, const std::u16string& name,
                             const std::string& text) {
    engines::PhoneStore s(store(alias));
    std::u16string error;
    ASSERT_EQ(plat::createFolders(store(alias)), 0);
    ASSERT_TRUE(s.open(&error)) << toUtf8(error);
    engines::NoteRevision rev;
    ASSERT_TRUE(s.writeNote(name, text, &rev, &error)) << toUtf8(error);
}

void HostE2ETest::removePhone(const std::u16string& alias, const std::u16string& name) {
    ASSERT_FALSE(name.empty());
    engines::PhoneStore s(store(alias));
    std::u16string error;
    ASSERT_TRUE(s.removeNote(name, &error)) << toUtf8(error);
}

std::u16string HostE2ETest::phoneNameOf(const std::u16string& alias, const std::string& text) {
    for (const auto& n : host::listPhoneNotes(store(alias)))
        if (n.bytes == text) return n.name;
    return {};
}

std::vector<std::string> HostE2ETest::pcTexts(const std::u16string& alias) {
    std::vector<std::string> t;
    for (const auto& n : host::listPcNotes(pcFolder(alias))) t.push_back(n.bytes);
    std::sort(t.begin(), t.end());
    return t;
}

std::vector<std::string> HostE2ETest::phoneTexts(const std::u16string& alias) {
    std::vector<std::string> t;
    for (const auto& n : host::listPhoneNotes(store(alias))) t.push_back(n.bytes);
    std::sort(t.begin(), t.end());
    return t;
}

std::map<std::u16string, std::string> HostE2ETest::pcFiles(const std::u16string& alias) {
    std::map<std::u16string, std::string> m;
    for (const auto& n : host::listPcNotes(pcFolder(alias))) m[n.name] = n.bytes;
    return m;
}

host::SessionReport HostE2ETest::syncOnce(const host::PhoneSetup& s) {
    std::u16string error;
    std::shared_ptr<host::ModuleHost> module = host::ModuleHost::open(u"Notes", &error);
    EXPECT_TRUE(module) << toUtf8(error);
    if (!module) return {};
    std::unique_ptr<host::PhoneLink> link = host::PhoneLink::connect(module, s, &error);
    EXPECT_TRUE(link) << toUtf8(error);
    if (!link) return {};
    host::SessionReport r = link->synchronize(60000);
    EXPECT_TRUE(r.ok) << toUtf8(r.message);
    return r;
}

int64_t HostE2ETest::startHost(const std::vector<std::u16string>& args,
                               const std::u16string& outFile) {
    std::vector<std::u16string> argv{u"vantrel"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::u16string error;
    int64_t pid = plat::startProcess(fromUtf8(VANTREL_HOST_EXE), argv, outFile, &error);
    EXPECT_GE(pid, 0) << toUtf8(error);
    return pid;
}

std::u16string HostE2ETest::recordStore(const std::u16string& imei) const {
    std::u16string appData;
    EXPECT_EQ(plat::appDataFolder(false, &appData), 0);
    for (const char16_t* part : {u"Morvex", imei.c_str(), u"NotesDB", u"notesDB.dta"})
        appData = plat::joinPath(appData, part);
    return appData;
}

}  // namespace vt::test
