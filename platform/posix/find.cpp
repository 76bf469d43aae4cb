// Folder search on Linux: one pass of readdir in the file system's order, names matched with
// matchesWildcard. Whether an entry is a symbolic link comes from the entry itself (lstat); its
// kind and status from what it leads to. With status, one fstatat per reported entry relative
// to the open folder (two for a link); the stored attribute bits are read only in a folder
// that carries the entry hint (file_attributes.h), so a search costs about one stat per entry.
#include "platform/find.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "platform/posix/file_attributes.h"
#include "platform/text.h"

namespace vt::plat {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

bool hasWildcard(std::u16string_view pattern) {
    return pattern.find_first_of(u"*?") != std::u16string_view::npos;
}

bool isDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// The status of name in the folder open as dirFd (AT_FDCWD: name is a full path). The entry
// itself tells whether it is a symbolic link (*isLink); a link's status is that of what it
// leads to, or its own when it leads nowhere. False when it is gone.
bool statEntry(int dirFd, const char* name, struct stat* st, bool* isLink) {
    if (fstatat(dirFd, name, st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    *isLink = S_ISLNK(st->st_mode);
    if (*isLink) {
        struct stat target;
        if (fstatat(dirFd, name, &target, 0) == 0) *st = target;
    }
    return true;
}

void fillStatus(const struct stat& st, uint32_t stored, FindEntry* e) {
    e->isDirectory = S_ISDIR(st.st_mode);
    e->size = e->isDirectory ? 0 : static_cast<uint64_t>(st.st_size);
    e->lastWriteTime = static_cast<int64_t>(st.st_mtim.tv_sec);
    e->attributes = posix::attributesFromStat(st, stored);
}

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
    size_t cut = patternPath.rfind(u'/');
    std::u16string_view pattern = patternPath;
    std::string folder = ".";
    if (cut != std::u16string::npos) {
        pattern = pattern.substr(cut + 1);
        folder = cut == 0 ? "/" : toUtf8(std::u16string_view(patternPath).substr(0, cut));
    }
    if (pattern.empty() || patternPath.find(u'\0') != std::u16string::npos) return EINVAL;
    bool withStatus = detail != FindDetail::NamesOnly;
    bool withStored = detail == FindDetail::WithStatus;

    // A plain name is looked up directly; when that misses, the search below still finds it
    // written in another case.
    if (!hasWildcard(pattern)) {
        std::string full = toUtf8(patternPath);
        struct stat st;
        bool isLink = false;
        if (statEntry(AT_FDCWD, full.c_str(), &st, &isLink)) {
            FindEntry e;
            e.name = std::u16string(pattern);
            e.isLink = isLink;
            if (withStatus)
                fillStatus(st, withStored ? posix::readStoredAttributes(full.c_str()) : 0, &e);
            else
                e.isDirectory = S_ISDIR(st.st_mode);
            out.push_back(std::move(e));
            return 0;
        }
    }

    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) return errno;
    int fd = dirfd(dir.get());
    bool readStored = withStored && posix::folderHasEntryHint(folder.c_str());
    std::string entryPath = folder + (folder.back() == '/' ? "" : "/");
    size_t entryPathBase = entryPath.size();
    for (;;) {
        errno = 0;
        dirent* d = readdir(dir.get());
        if (!d) {
            if (errno == 0) break;
            const int err = errno;
            out.clear();
            return err;
        }
        std::u16string name = fromUtf8(d->d_name);
        if (!matchesWildcard(pattern, name)) continue;
        FindEntry e;
        e.name = std::move(name);
        if (withStatus) {
            struct stat st;
            if (!statEntry(fd, d->d_name, &st, &e.isLink)) continue;  // vanished meanwhile
            uint32_t stored = 0;
            if (readStored || (withStored && isDotEntry(d->d_name))) {
                entryPath.resize(entryPathBase);
                entryPath += d->d_name;
                stored = posix::readStoredAttributes(entryPath.c_str());
            }
            fillStatus(st, stored, &e);
        } else if (d->d_type == DT_DIR) {
            e.isDirectory = true;
        } else if (d->d_type == DT_UNKNOWN || d->d_type == DT_LNK) {
            struct stat st;
            if (!statEntry(fd, d->d_name, &st, &e.isLink)) continue;
            e.isDirectory = S_ISDIR(st.st_mode);
        }
        out.push_back(std::move(e));
    }
    return 0;
}

}  // namespace vt::plat
