// The backend-independent part of File; see platform/file.h.
#include "platform/file.h"

#include <utility>

#include "platform/path.h"

namespace vt::plat {

File::File(File&& o) noexcept
    : handle_(o.handle_), position_(o.position_), path_(std::move(o.path_)) {
    o.handle_ = kInvalid;
    o.position_ = 0;
}

File& File::operator=(File&& o) noexcept {
    if (this != &o) {
        if (handle_ != kInvalid) closeQuietly(handle_);
        handle_ = o.handle_;
        position_ = o.position_;
        path_ = std::move(o.path_);
        o.handle_ = kInvalid;
        o.position_ = 0;
    }
    return *this;
}

File::~File() {
    if (handle_ != kInvalid) closeQuietly(handle_);
}

void File::fail(int osError) const {
    throw FileException::fromOsError(osError, path_);
}

void File::open(const std::u16string& path, Access access, Disposition disposition, Share share,
                uint32_t options) {
    FileException error(kCauseNone, 0, {});
    if (!tryOpen(path, access, disposition, share, &error, options)) throw error;
}

bool isSameFile(const std::u16string& a, const std::u16string& b) {
    FileIdentity x, y;
    return getFileIdentity(a, &x) && getFileIdentity(b, &y) && x == y;
}

int createFolders(const std::u16string& path, FolderAccess access) {
    FileStatus st;
    if (getFileStatus(path, &st)) return st.isDirectory ? 0 : notADirectoryError();
    const std::u16string parent = parentFolder(path);
    // The root, a drive ("C:") or a relative path's first piece ends the climb.
    if (!parent.empty() && parent.back() != u':') {
        if (int e = createFolders(parent, access); e != 0) return e;
    }
    const int e = createDirectory(path, access);
    if (e == 0) return 0;
    // Made meanwhile by somebody else is as good.
    return getFileStatus(path, &st) && st.isDirectory ? 0 : e;
}

}  // namespace vt::plat
