#include "tests/support/temp_dir.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/path.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/text.h"

namespace vt::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p =
            base / ("vantrel-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
        if (fs::create_directory(p)) {
            path_ = fromUtf8(p.string());
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make read-only entries removable first; never through a link, which may lead out.
    for (auto it = fs::recursive_directory_iterator(toUtf8(path_), ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        if (!it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(toUtf8(path_), ec);
}

std::string TempDir::path8() const {
    return toUtf8(path_);
}

std::u16string TempDir::operator/(const std::u16string& name) const {
    return plat::joinPath(path_, name);
}

void writeFileBytes(const std::u16string& path, const std::string& bytes) {
    std::ofstream f(toUtf8(path), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + toUtf8(path));
}

std::optional<std::string> readFileBytes(const std::u16string& path) {
    std::ifstream f(toUtf8(path), std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool makeSymlink(const std::u16string& target, const std::u16string& link, bool folder) {
    std::error_code ec;
    if (folder)
        fs::create_directory_symlink(toUtf8(target), toUtf8(link), ec);
    else
        fs::create_symlink(toUtf8(target), toUtf8(link), ec);
    return !ec && fs::is_symlink(toUtf8(link), ec);
}

ScopedCurrentPath::ScopedCurrentPath(const std::u16string& folder)
    : old_(fs::current_path().string()) {
    fs::current_path(toUtf8(folder));
}

ScopedCurrentPath::~ScopedCurrentPath() {
    std::error_code ec;
    fs::current_path(old_, ec);
}

namespace {
// The real registry is not inside VANTREL_HOME: every test starts and ends without the
// product's keys, so that no setting or remembered phone leaks from one test to the next.
void clearRealRegistry() {
    if (plat::registryIsTextFile()) return;
    for (plat::RegRoot root : {plat::RegRoot::CurrentUser, plat::RegRoot::LocalMachine})
        plat::RegKey::root(root).deleteTree(u"Software\\Orvane");
}
}  // namespace

SandboxedTest::SandboxedTest() {
    oldHome_ = plat::getEnv("VANTREL_HOME");
    plat::setEnv("VANTREL_HOME", home_.path());
    clearRealRegistry();
}

SandboxedTest::~SandboxedTest() {
    clearRealRegistry();
    plat::setEnv("VANTREL_HOME", oldHome_);
}

}  // namespace vt::test
