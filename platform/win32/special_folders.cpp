// Well-known folders on Windows. Application data is %VANTREL_HOME%\AppData when VANTREL_HOME
// is set (the sandbox that tests and trial runs use, as on Linux), else the user's roaming
// application-data folder (CSIDL_APPDATA). The executable and this code's module come from the
// loader; the logger's folder is TMP when it is a folder, else the system's temporary folder.
#include "platform/special_folders.h"

#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/system.h"
// <shlobj.h> needs <windows.h> first, which win32_util.h brings with the lean settings.
// clang-format off
#include "platform/win32/win32_util.h"
#include <shlobj.h>
// clang-format on

namespace vt::plat {

namespace {

using win32::fromWide;
using win32::wide;

bool isSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

bool isFolder(const std::u16string& path) {
    if (path.empty()) return false;
    DWORD a = GetFileAttributesW(wide(path));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The file name of a loaded module (null: the executable); empty on failure.
std::u16string moduleFileName(HMODULE module) {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(module, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return fromWide(buf.data(), n);
        if (buf.size() >= 32768) return {};
        buf.resize(buf.size() * 2);  // cut short: try again with more room
    }
}

}  // namespace

int32_t appDataFolder(bool create, std::u16string* folder) {
    std::u16string path;
    if (std::optional<std::u16string> home = getEnv("VANTREL_HOME"); home && !home->empty()) {
        path = *home;
        if (!isSeparator(path.back())) path += u'\\';
        path += u"AppData";
        if (create) {
            if (int err = createFolders(path)) return err;
        }
    } else {
        wchar_t buf[MAX_PATH] = {};
        if (!SHGetSpecialFolderPathW(nullptr, buf, CSIDL_APPDATA, create ? TRUE : FALSE))
            return ERROR_PATH_NOT_FOUND;
        path = fromWide(buf);
    }
    while (path.size() > 3 && isSeparator(path.back())) path.pop_back();
    *folder = path;
    return 0;
}

std::u16string hostExecutablePath() {
    return moduleFileName(nullptr);
}

std::u16string currentModulePath() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&currentModulePath), &module))
        return hostExecutablePath();
    return moduleFileName(module);
}

// GetTempPathW answers TMP even when it names no folder; then TEMP, and last the Windows
// folder's Temp, are tried in its place.
std::u16string loggerTempFolder() {
    std::vector<std::u16string> candidates;
    if (std::optional<std::u16string> tmp = getEnv("TMP")) candidates.push_back(*tmp);
    wchar_t buf[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH + 1, buf);
    if (n > 0 && n <= MAX_PATH) candidates.push_back(fromWide(buf, n));
    if (std::optional<std::u16string> temp = getEnv("TEMP")) candidates.push_back(*temp);
    n = GetWindowsDirectoryW(buf, MAX_PATH + 1);
    if (n > 0 && n <= MAX_PATH) candidates.push_back(fromWide(buf, n) + u"\\Temp");
    for (std::u16string& folder : candidates) {
        if (!isFolder(folder)) continue;
        if (!isSeparator(folder.back())) folder += u'\\';
        return folder;
    }
    return u"C:\\Windows\\Temp\\";
}

}  // namespace vt::plat
