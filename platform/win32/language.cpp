// Language files on Windows: resource-only DLLs with a string table (built from the text
// files by cmake/LanguageDlls.cmake). They are mapped as data, so no code of theirs runs and
// nothing they import is loaded; strings are read in place through LoadString.
#include "platform/language.h"

#include <algorithm>

#include "platform/win32/win32_util.h"

namespace vt::plat {

struct LanguageModule {
    HMODULE module = nullptr;
};

namespace {

// String ids are 16-bit; LoadString would fold larger ones onto them.
constexpr uint32_t kMaxId = 0xFFFF;

}  // namespace

LanguageModule* loadLanguageFile(const std::u16string& path) {
    if (path.empty() || path.find(u'\0') != path.npos) return nullptr;
    // A folder "loads" as nothing, but LoadLibraryEx would first try the name with ".dll".
    DWORD attributes = GetFileAttributesW(win32::wide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;
    HMODULE m = LoadLibraryExW(win32::wide(path), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!m) return nullptr;
    return new LanguageModule{m};
}

bool loadLanguageString(LanguageModule* module, uint32_t id, size_t maxChars,
                        std::u16string* text) {
    if (!module || !text || maxChars < 2 || id > kMaxId) return false;
    // With a zero length LoadString answers a pointer to the string inside the mapped file and
    // its length, so the cut needs no buffer of maxChars.
    const wchar_t* p = nullptr;
    int n = LoadStringW(module->module, id, reinterpret_cast<LPWSTR>(&p), 0);
    if (n <= 0 || !p) return false;
    *text = win32::fromWide(p, std::min(static_cast<size_t>(n), maxChars - 1));
    return true;
}

bool freeLanguageFile(LanguageModule* module) {
    if (!module) return false;
    bool freed = FreeLibrary(module->module) != 0;
    delete module;
    return freed;
}

std::u16string userLanguage() {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) > 0)
        return languageOfLocale(win32::fromWide(name));
    // Without a locale name: the ISO 639 name of the user interface's language.
    wchar_t iso[9] = {};
    if (GetLocaleInfoW(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), LOCALE_SISO639LANGNAME,
                       iso, 9) > 0)
        return languageOfLocale(win32::fromWide(iso));
    return {};
}

}  // namespace vt::plat
