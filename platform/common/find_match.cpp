// The wildcard match of folder searches, the same on every platform.
//
// '*' matches any run of characters (also none), '?' exactly one UTF-16 unit, anything else
// itself without regard to ASCII case. As in the PC's searches, a pattern ending in ".*" also
// matches a name without that ending: "*.*" matches every name, "notes*.*" also "notes".
#include <string_view>

#include "platform/find.h"
#include "platform/text.h"

namespace vt::plat {

namespace {

bool matchPlain(std::u16string_view p, std::u16string_view n) {
    constexpr size_t kNone = std::u16string_view::npos;
    size_t pi = 0, ni = 0;
    size_t starP = kNone, starN = 0;  // the last '*' seen and where its run would end
    while (ni < n.size()) {
        if (pi < p.size() && p[pi] == u'*') {
            starP = pi++;
            starN = ni;
        } else if (pi < p.size() && (p[pi] == u'?' || asciiLower(p[pi]) == asciiLower(n[ni]))) {
            ++pi;
            ++ni;
        } else if (starP != kNone) {
            pi = starP + 1;  // let the last '*' take one more character
            ni = ++starN;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == u'*') ++pi;
    return pi == p.size();
}

}  // namespace

bool matchesWildcard(std::u16string_view pattern, std::u16string_view name) {
    if (matchPlain(pattern, name)) return true;
    return pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*" &&
           matchPlain(pattern.substr(0, pattern.size() - 2), name);
}

}  // namespace vt::plat
