#include "util/text_error.h"

#include "platform/text.h"

namespace vt {

TextError::TextError(std::u16string text) : text_(std::move(text)), utf8_(toUtf8(text_)) {}

}  // namespace vt
