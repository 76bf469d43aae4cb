#include "util/registry_handler.h"

#include "util/logger.h"

namespace vt {

namespace {
const LogChannel& channel() {
    static const LogChannel log(u"GU: CRegistryHandler");
    return log;
}
constexpr uint32_t kValueBufferBytes = 256;
}  // namespace

CRegistryHandler::CRegistryHandler() {
    channel().trace(u"CRegistryHandler()");
}

CRegistryHandler::~CRegistryHandler() {
    channel().trace(u"~CRegistryHandler()");
}

bool CRegistryHandler::ReadValue(plat::RegRoot keyTarget, const std::u16string& strSubKey,
                                 const std::u16string& strValueHeader, std::u16string& strValue) {
    channel().trace(
        u"ReadValue(HKEY keyTarget, CString strSubKey, CString strValueHeader, CString &strValue)");
    strValue.clear();
    plat::RegKey key;
    if (plat::RegKey::root(keyTarget).open(strSubKey, &key) != plat::kErrorSuccess) return false;
    char16_t data[kValueBufferBytes / 2] = {};
    uint32_t type = 0;
    uint32_t size = kValueBufferBytes;
    int32_t err = key.queryValue(strValueHeader, &type, data, &size);
    key.close();
    if (err != plat::kErrorSuccess) return false;
    strValue.assign(data, size / 2);
    size_t z = strValue.find(u'\0');
    if (z != std::u16string::npos) strValue.resize(z);
    return true;
}

}  // namespace vt
