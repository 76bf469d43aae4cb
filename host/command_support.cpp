#include "host/command_support.h"

#include "host/console.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace vt::host {

void out(const std::u16string& text) {
    Console::instance().line(text);
}

void err(const std::u16string& text) {
    Console::instance().error(text);
}

std::u16string absolutePath(const std::u16string& p) {
    if (p.empty() || plat::isAbsolutePath(p)) return p;
    std::u16string rel = p;
    while (rel.size() >= 2 && rel[0] == u'.' && rel[1] == plat::kPathSeparator) rel = rel.substr(2);
    return plat::joinPath(plat::currentDirectory(), rel == u"." ? u"" : rel);
}

bool isDirectory(const std::u16string& path) {
    plat::FileStatus st;
    return plat::getFileStatus(path, &st) && st.isDirectory;
}

bool registryUsable() {
    int32_t e = checkRegistryWritable();
    if (e == plat::kErrorSuccess) return true;
    err(registryErrorText(e));
    return false;
}

ComScope::ComScope() {
    hr_ = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

ComScope::~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
}

ScopedWorkFolder::ScopedWorkFolder() : old_(plat::currentDirectory()) {
    const std::u16string folder = plat::joinPath(hostHome(), u"received-items");
    if (plat::createFolders(folder) == 0) plat::setCurrentDirectory(folder);
}

ScopedWorkFolder::~ScopedWorkFolder() {
    if (!old_.empty()) plat::setCurrentDirectory(old_);
}

}  // namespace vt::host
