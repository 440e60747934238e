#include "atomic_file.h"

#include "handles.h"
#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The rename is durable only once the directory entry itself reaches storage.
void sync_directory(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        LOG_ERROR("Failed to open directory %s: %s", dir.c_str(), strerror(errno));
        return;
    }
    if (fsync(fd) != 0) {
        LOG_ERROR("Failed to sync directory %s: %s", dir.c_str(), strerror(errno));
    }
    close(fd);
}

} // namespace

atomic_write_result atomic_write(const std::string& path, const std::function<bool(FILE*)>& write,
                                 file_identity* renamed) {
    std::string temp = path + ".tmp";
    unlink(temp.c_str()); // a stale one from an earlier crash

    file_ptr file(fopen(temp.c_str(), "we"));
    if (!file) {
        LOG_ERROR("Failed to create %s: %s", temp.c_str(), strerror(errno));
        return ATOMIC_WRITE_OPEN_FAILED;
    }
    // The new file keeps the old one's owner and permissions: a web server running as another
    // user must still read it, and it may hold secrets. The owner goes first, since a change of
    // owner may clear mode bits.
    struct stat old_stat {};
    if (stat(path.c_str(), &old_stat) == 0) {
        if (fchown(fileno(file.get()), old_stat.st_uid, old_stat.st_gid) != 0) {
            LOG_ERROR("Failed to keep the owner of %s: %s", path.c_str(), strerror(errno));
        }
        fchmod(fileno(file.get()), old_stat.st_mode & 07777);
    }
    bool written = write(file.get()) && fflush(file.get()) == 0 && fsync(fileno(file.get())) == 0;
    int saved_errno = errno;
    struct stat new_stat {};
    if (written && renamed != nullptr && fstat(fileno(file.get()), &new_stat) == 0) {
        *renamed = {new_stat.st_dev, new_stat.st_ino};
    }
    if (fclose(file.release()) != 0) {
        written = false;
    }
    if (!written) {
        LOG_ERROR("Failed to write %s: %s", temp.c_str(), strerror(saved_errno));
        unlink(temp.c_str());
        return ATOMIC_WRITE_WRITE_FAILED;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        LOG_ERROR("Failed to rename %s to %s: %s", temp.c_str(), path.c_str(), strerror(errno));
        unlink(temp.c_str());
        return ATOMIC_WRITE_WRITE_FAILED;
    }
    sync_directory(path);
    return ATOMIC_WRITE_OK;
}
