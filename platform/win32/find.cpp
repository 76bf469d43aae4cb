// Folder search on Windows: FindFirstFileExW/FindNextFileW in the file system's order. The
// pattern goes to the file system to narrow the search, and every name it reports is matched
// again with matchesWildcard, so that the rules of find.h hold on their own (Windows also
// matches patterns against 8.3 short names, and '?' there may match nothing at the end). The
// find data carries size, time and attributes, so every detail level costs the same.
#include "platform/find.h"

#include <string>

#include "platform/win32/win32_util.h"

namespace vt::plat {

namespace {

using win32::fileTimeToUnix;
using win32::fromWide;
using win32::portableAttributes;
using win32::wide;

class FindHandle {
  public:
    explicit FindHandle(HANDLE h) : h_(h) {}
    ~FindHandle() {
        if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    HANDLE get() const { return h_; }

  private:
    HANDLE h_;
};

}  // namespace

std::vector<FindEntry> findFiles(const std::u16string& patternPath, FindDetail detail) {
    std::vector<FindEntry> out;
    searchFolder(patternPath, detail, &out);
    return out;
}

int searchFolder(const std::u16string& patternPath, FindDetail detail,
                 std::vector<FindEntry>* found) {
    std::vector<FindEntry>& out = *found;
    out.clear();
    size_t cut = patternPath.find_last_of(u"\\/");
    std::u16string_view pattern = patternPath;
    if (cut != std::u16string::npos) pattern = pattern.substr(cut + 1);
    if (pattern.empty() || patternPath.find(u'\0') != std::u16string::npos)
        return ERROR_INVALID_PARAMETER;

    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileExW(wide(patternPath), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (find.get() == INVALID_HANDLE_VALUE) {
        // No match in a folder that exists is no error; a missing folder is.
        const DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(err);
    }
    do {
        std::u16string name = fromWide(data.cFileName);
        if (!matchesWildcard(pattern, name)) continue;
        FindEntry e;
        e.name = std::move(name);
        e.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        e.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (detail != FindDetail::NamesOnly) {
            e.size = e.isDirectory
                         ? 0
                         : (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            e.lastWriteTime = fileTimeToUnix(data.ftLastWriteTime);
            e.attributes = portableAttributes(data.dwFileAttributes);
        }
        out.push_back(std::move(e));
    } while (FindNextFileW(find.get(), &data));
    const DWORD err = GetLastError();
    if (err != ERROR_NO_MORE_FILES) {
        out.clear();
        return static_cast<int>(err);
    }
    return 0;
}

}  // namespace vt::plat
