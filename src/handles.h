// Owners for the C handles the agent uses, so that every exit path releases them.
#pragma once

#include <jansson.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct json_deleter {
    void operator()(json_t* json) const { json_decref(json); }
};
using json_ptr = std::unique_ptr<json_t, json_deleter>;

struct file_closer {
    void operator()(FILE* file) const { fclose(file); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Text allocated by a C library with malloc (json_dumps, for one).
struct free_deleter {
    void operator()(void* p) const { free(p); }
};
using c_text = std::unique_ptr<char, free_deleter>;

class unique_fd {
  public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_;
};
