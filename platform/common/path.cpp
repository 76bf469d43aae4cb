// The path helpers built on the backend's separator rule.
#include "platform/path.h"

namespace vt::plat {

namespace {

// The position of the last separator before any trailing one, or npos.
size_t lastSeparator(std::u16string_view path) {
    if (!path.empty() && isPathSeparator(path.back())) path.remove_suffix(1);
    for (size_t i = path.size(); i > 0; --i)
        if (isPathSeparator(path[i - 1])) return i - 1;
    return std::u16string_view::npos;
}

}  // namespace

std::u16string withoutTrailingSeparator(std::u16string_view path) {
    if (!path.empty() && isPathSeparator(path.back())) path.remove_suffix(1);
    return std::u16string(path);
}

std::u16string parentFolder(std::u16string_view path) {
    const size_t cut = lastSeparator(path);
    return cut == std::u16string_view::npos ? std::u16string()
                                            : std::u16string(path.substr(0, cut));
}

std::u16string fileNameOf(std::u16string_view path) {
    const std::u16string whole = withoutTrailingSeparator(path);
    const size_t cut = lastSeparator(whole);
    return cut == std::u16string::npos ? whole : whole.substr(cut + 1);
}

}  // namespace vt::plat
