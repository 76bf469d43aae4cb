// The backend-independent part of platform/system.h.
#include "platform/system.h"

#include "platform/format.h"

namespace vt::plat {

std::u16string osErrorText(int osError) {
    std::u16string text = osError > 0 ? systemErrorText(osError) : std::u16string();
    return text.empty() ? format(u"error %d", osError) : text;
}

}  // namespace vt::plat
