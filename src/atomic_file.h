// Replacing a file so that a power cut leaves either the old or the new content, never a
// torn or empty file; and reading a settings file whole.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

// Far above any settings file of the controller's; a larger file is not its settings, and
// loading it whole would only strain the controller's memory.
constexpr size_t SETTINGS_FILE_CAP = 1024 * 1024;

enum atomic_write_result {
    ATOMIC_WRITE_OK = 0,
    ATOMIC_WRITE_OPEN_FAILED = -1,  // the temporary file could not be created
    ATOMIC_WRITE_WRITE_FAILED = -2, // writing, syncing or renaming failed; the old file stays
};

// Which file a path names: what a later look at the path compares with.
struct file_identity {
    dev_t dev;
    ino_t ino;
};

// Writes a temporary file beside `path` with `write` (which returns false on failure),
// flushes and syncs it, renames it over `path` and syncs the directory. The new file keeps the
// old one's owner, group and mode, as an edit in place would. A symbolic link stays: the file
// at the end of its chain is the one replaced (or created). When `renamed` is given, it
// receives the identity of the file renamed in. Details of a failure are logged here; the
// caller names what it was saving.
atomic_write_result atomic_write(const std::string& path, const std::function<bool(FILE*)>& write,
                                 file_identity* renamed = nullptr);

// The text of the file at `path`, read up to just past SETTINGS_FILE_CAP bytes (so a larger
// file shows as one), or nullopt with errno set when it cannot be opened or read. The caller
// logs, as only it knows whether a missing file is a failure.
std::optional<std::string> read_settings_file(const std::string& path);
