// Language files: numbered strings of one language.
//
// On Windows a language file is a resource-only DLL read with LoadLibraryEx and LoadString. On
// Linux it is a UTF-8 text file of lines "<id><TAB><text>" (escapes \n, \t and \\ in the text;
// blank lines and lines starting with '#' are ignored); see docs/language-files.md.
// Thread-safe for distinct handles.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vt::plat {

struct LanguageModule;

// Null when the file can't be loaded.
LanguageModule* loadLanguageFile(const std::u16string& path);
// The string with this id (0 to 65535), cut to maxChars - 1 UTF-16 units as LoadString does;
// false when the file has no such string, it is empty, or maxChars is below 2.
bool loadLanguageString(LanguageModule* module, uint32_t id, size_t maxChars, std::u16string* text);
// True when the module was loaded and is now freed.
bool freeLanguageFile(LanguageModule* module);

// The language of the user's locale as a lower-case code ("de"), for choosing a language file;
// empty when the locale names no language. On Linux the first of LC_ALL, LC_MESSAGES and LANG
// that is set and not empty ("C" and "POSIX" name none); on Windows the user's default locale
// (GetUserDefaultLocaleName, else GetUserDefaultUILanguage).
std::u16string userLanguage();
// The language part of a locale name: "de_DE.UTF-8", "de-DE", "pt_BR@euro" give "de", "pt";
// empty for "C", "POSIX" and anything whose first part isn't 2 or 3 ASCII letters.
std::u16string languageOfLocale(std::u16string_view locale);

}  // namespace vt::plat
