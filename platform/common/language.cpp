// The part of the language functions that is the same everywhere.
#include "platform/language.h"

namespace vt::plat {

std::u16string languageOfLocale(std::u16string_view locale) {
    size_t end = 0;
    while (end < locale.size() && ((locale[end] >= u'a' && locale[end] <= u'z') ||
                                   (locale[end] >= u'A' && locale[end] <= u'Z')))
        ++end;
    if (end < 2 || end > 3) return {};
    if (end < locale.size() && locale[end] != u'_' && locale[end] != u'-' && locale[end] != u'.' &&
        locale[end] != u'@')
        return {};
    std::u16string language(locale.substr(0, end));
    for (char16_t& c : language)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return language;
}

}  // namespace vt::plat
