// Fakes of the machine around the agent: a mining daemon on a loopback port with scripted
// replies, and the firmware's scripts as real #!/bin/sh files in a test root.
#pragma once

#include "../test_root.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How a scripted reply ends after its text has been sent.
enum fake_ending {
    FAKE_CLOSE,  // an orderly close, as the daemon ends every reply
    FAKE_RESET,  // the daemon dies: the connection is reset
    FAKE_SILENT, // the connection stays open until the client gives up
};

struct fake_reply {
    std::string text;
    fake_ending ending = FAKE_CLOSE;
};

// Listens on 127.0.0.1 at a free port and points the API client at it; serves one
// connection at a time on its own thread. A request gets the reply scripted for its
// "command"; a connection that sends nothing (a liveness probe) is recorded as "".
struct fake_daemon {
    int port = 0;

    fake_daemon();
    ~fake_daemon();
    fake_daemon(const fake_daemon&) = delete;
    fake_daemon& operator=(const fake_daemon&) = delete;

    void script(const std::string& command, fake_reply reply);
    // Requests received so far, in order.
    std::vector<std::string> requests();

  private:
    int listen_fd = -1;
    int wake[2] = {-1, -1};
    std::mutex lock;
    std::map<std::string, fake_reply> replies; // guarded by lock
    std::vector<std::string> received;         // guarded by lock
    std::thread server;

    void serve();
    void answer(int fd);
    bool wait_readable(int fd);
};

// A loopback port on which nothing listens.
int closed_port();
// A loopback listener with the given queue length; its port goes to `port`.
int listen_on_loopback(int* port, int backlog);

// The init scripts and the stop page, and the daemon's /proc entry. Every call appends
// "name args" to the file "/calls" of the root; the daemon runs while the root's /proc/4242
// names it; the init script and the stop page block while "/hold" exists. PATH gets the
// root's bin first, as in the sandbox.
struct fake_firmware {
    explicit fake_firmware(const test_root& root);
    ~fake_firmware();
    fake_firmware(const fake_firmware&) = delete;
    fake_firmware& operator=(const fake_firmware&) = delete;

    void set_running(bool running) const;
    void hold(bool on) const;
    std::vector<std::string> calls() const;

  private:
    const test_root& root;
    std::string old_path;
};

// How often `part` occurs in `text`.
int count_of(const std::string& text, const std::string& part);

// Polls `done` until it holds; false when `limit` passes first.
bool wait_until(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(10));
