#include "util/string_split.h"

#include "util/text_error.h"

namespace vt {

CStringSplit::CStringSplit(const std::u16string& text, char16_t separator)
    : CStringSplit(text, std::u16string(1, separator)) {}

CStringSplit::CStringSplit(const std::u16string& text, const std::u16string& separator) {
    if (separator.empty()) throw TextError(u"Programming error split is empty in CStringSplit");
    size_t start = 0;
    for (;;) {
        size_t p = text.find(separator, start);
        if (p == std::u16string::npos) {
            pieces_.push_back(text.substr(start));
            return;
        }
        pieces_.push_back(text.substr(start, p - start));
        start = p + separator.size();
    }
}

}  // namespace vt
