// Paths on Windows: '\\' separates (the API also takes '/', so either one ending a folder is
// not doubled); a path is absolute when it starts at a drive root ("C:\"), a server share
// ("\\server\share") or the root of the current drive ("\notes").
#include "platform/path.h"

namespace vt::plat {

namespace {

bool isSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

bool isDriveLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

}  // namespace

const char16_t kPathSeparator = u'\\';

std::u16string joinPath(std::u16string_view a, std::u16string_view b) {
    std::u16string out(a);
    if (!out.empty() && !isSeparator(out.back())) out += kPathSeparator;
    out += b;
    return out;
}

bool isAbsolutePath(std::u16string_view p) {
    if (!p.empty() && isSeparator(p.front())) return true;  // "\\server" or "\folder"
    return p.size() >= 3 && isDriveLetter(p[0]) && p[1] == u':' && isSeparator(p[2]);
}

bool isPathSeparator(char16_t c) {
    return isSeparator(c);
}

}  // namespace vt::plat
