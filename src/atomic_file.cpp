#include "atomic_file.h"

#include "handles.h"
#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// As many links as the kernel follows in one path.
constexpr int MAX_LINKS = 40;

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

// The end of the chain of symbolic links that starts at `path`, which may not exist yet (a
// dangling link), or "" (logged) for a loop. Rewriting it keeps the links, so whatever reads
// the file through them sees the new content.
std::string link_target(const std::string& path) {
    std::string target = path;
    for (int links = 0; links < MAX_LINKS; links++) {
        std::string next(PATH_MAX, '\0');
        const ssize_t length = readlink(target.c_str(), next.data(), next.size());
        if (length < 0) {
            return target;
        }
        next.resize(static_cast<size_t>(length));
        const size_t slash = target.rfind('/');
        target = next[0] == '/' || slash == std::string::npos ? next
                                                              : target.substr(0, slash + 1) + next;
    }
    LOG_ERROR("Failed to follow the links of %s: %s", path.c_str(), strerror(ELOOP));
    return "";
}

} // namespace

atomic_write_result atomic_write(const std::string& link_path,
                                 const std::function<bool(FILE*)>& write, file_identity* renamed) {
    const std::string path = link_target(link_path);
    if (path.empty()) {
        return ATOMIC_WRITE_OPEN_FAILED;
    }
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

std::optional<std::string> read_settings_file(const std::string& path) {
    file_ptr file(fopen(path.c_str(), "re"));
    if (!file) {
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    size_t got = 0;
    while (text.size() <= SETTINGS_FILE_CAP &&
           (got = fread(chunk, 1, sizeof(chunk), file.get())) > 0) {
        text.append(chunk, got);
    }
    if (ferror(file.get())) {
        int error = errno;
        file.reset(); // closing may overwrite errno
        errno = error;
        return std::nullopt;
    }
    return text;
}
