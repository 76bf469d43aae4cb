#include "platform/posix/registry_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace vt::plat::posix {

namespace {

FileSignature signatureOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size,
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// The folder that holds path: "." for a bare name.
std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

int registryFileSignature(const std::string& path, FileSignature* sig) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno;
    *sig = signatureOf(st);
    return 0;
}

int readRegistryFile(const std::string& path, std::string* bytes, FileSignature* sig) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(fd);
        return e;
    }
    *sig = signatureOf(st);
    bytes->clear();
    char buf[65536];
    while (true) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            close(fd);
            return e;
        }
        if (n == 0) break;
        bytes->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

int replaceRegistryFile(const std::string& path, const std::string& bytes, FileSignature* sig) {
    std::string target = path;
    struct stat st;
    bool existed = lstat(path.c_str(), &st) == 0;
    if (existed && S_ISLNK(st.st_mode)) {  // keep a symbolic link, replace what it points to
        if (char* real = realpath(path.c_str(), nullptr)) {
            target = real;
            free(real);
        }
        existed = stat(target.c_str(), &st) == 0;
    }
    std::string folder = folderOf(target);
    std::string tmp = folder + "/." + target.substr(folder.size() + 1) + ".tmp-XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    int e = 0;
    fchmod(fd, existed ? (st.st_mode & 07777) : 0600);
    for (size_t done = 0; e == 0 && done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR) e = errno;
        if (n > 0) done += static_cast<size_t>(n);
    }
    if (e == 0) {
        // A modification time later than the old version's, whatever the clock's resolution.
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        int64_t ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
        if (existed) {
            int64_t old = signatureOf(st).mtimeNs;
            if (ns <= old) ns = old + 1;
        }
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = ns / 1000000000;
        times[0].tv_nsec = times[1].tv_nsec = ns % 1000000000;
        if (futimens(fd, times) != 0) e = errno;
    }
    if (e == 0 && fsync(fd) != 0) e = errno;
    if (close(fd) != 0 && e == 0) e = errno;
    if (e == 0 && rename(tmp.c_str(), target.c_str()) != 0) e = errno;
    if (e != 0) {
        unlink(tmp.c_str());
        return e;
    }
    int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);  // some file systems refuse; the rename has happened either way
        close(dfd);
    }
    struct stat now;
    if (stat(path.c_str(), &now) != 0) return errno;
    *sig = signatureOf(now);
    return 0;
}

RegistryFileLock::~RegistryFileLock() {
    if (fd_ >= 0) close(fd_);  // releases the flock
}

int RegistryFileLock::lock(const std::string& lockPath) {
    fd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return errno;
    while (flock(fd_, LOCK_EX) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

}  // namespace vt::plat::posix
