// Paths on Linux: '/' separates, "/" starts an absolute path.
#include "platform/path.h"

namespace vt::plat {

const char16_t kPathSeparator = u'/';

std::u16string joinPath(std::u16string_view a, std::u16string_view b) {
    std::u16string out(a);
    if (!out.empty() && out.back() != kPathSeparator) out += kPathSeparator;
    out += b;
    return out;
}

bool isAbsolutePath(std::u16string_view p) {
    return !p.empty() && p.front() == kPathSeparator;
}

bool isPathSeparator(char16_t c) {
    return c == kPathSeparator;
}

}  // namespace vt::plat
