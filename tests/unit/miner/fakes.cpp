#include "fakes.h"

#include "miner/api.h"

#include <jansson.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

int listen_on_loopback(int* port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

namespace {

std::string command_of(const std::string& request) {
    json_t* json = json_loads(request.c_str(), 0, nullptr);
    const char* command = json_string_value(json_object_get(json, "command"));
    std::string result = command != nullptr ? command : "";
    json_decref(json);
    return result;
}

} // namespace

fake_daemon::fake_daemon() {
    listen_fd = listen_on_loopback(&port, 8);
    if (pipe(wake) != 0) {
        throw std::runtime_error("pipe failed");
    }
    api_set_addr("127.0.0.1", port);
    server = std::thread(&fake_daemon::serve, this);
}

fake_daemon::~fake_daemon() {
    (void)!write(wake[1], "x", 1);
    server.join();
    close(listen_fd);
    close(wake[0]);
    close(wake[1]);
    api_reset();
}

void fake_daemon::script(const std::string& command, fake_reply reply) {
    std::lock_guard guard(lock);
    replies[command] = std::move(reply);
}

std::vector<std::string> fake_daemon::requests() {
    std::lock_guard guard(lock);
    return received;
}

// True when `fd` has something to read; false when the daemon is being stopped.
bool fake_daemon::wait_readable(int fd) {
    pollfd entries[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
    while (poll(entries, 2, -1) < 0) {
    }
    return entries[1].revents == 0;
}

void fake_daemon::serve() {
    while (wait_readable(listen_fd)) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            answer(fd);
            close(fd);
        }
    }
}

void fake_daemon::answer(int fd) {
    // The client writes its request in one piece; a probe closes without writing.
    std::string request;
    char chunk[512];
    while (request.find('}') == std::string::npos && wait_readable(fd)) {
        ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
        if (got <= 0) {
            break;
        }
        request.append(chunk, static_cast<size_t>(got));
    }
    fake_reply reply;
    {
        std::lock_guard guard(lock);
        received.push_back(request);
        if (request.empty()) {
            return;
        }
        reply = replies[command_of(request)];
    }
    for (size_t sent = 0; sent < reply.text.size();) {
        ssize_t n = send(fd, reply.text.data() + sent, reply.text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return; // the client gave up
        }
        sent += static_cast<size_t>(n);
    }
    if (reply.ending == FAKE_RESET) {
        linger reset = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    } else if (reply.ending == FAKE_SILENT) {
        while (wait_readable(fd) && recv(fd, chunk, sizeof(chunk), 0) > 0) {
        }
    }
}

int closed_port() {
    int port = 0;
    close(listen_on_loopback(&port, 1));
    return port;
}

fake_firmware::fake_firmware(const test_root& test_root) : root(test_root) {
    const char* path = getenv("PATH");
    old_path = path != nullptr ? path : "";
    std::string log = "echo \"$(basename \"$0\")${*:+ $*}\" >> \"" + root.path("/calls") + "\"\n";
    // The hold loop is bounded so that a failing test cannot hang the suite.
    std::string blocking = "#!/bin/sh\n" + log + "i=0\nwhile [ -e \"" + root.path("/hold") +
                           "\" ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done\n";
    for (const char* script : {"/etc/init.d/cgminer.sh", "/www/pages/cgi-bin/stop_cgminer.cgi",
                               "/etc/init.d/network.sh"}) {
        root.write(script, blocking);
        std::filesystem::permissions(root.path(script), std::filesystem::perms::owner_all);
    }
    std::filesystem::create_directories(root.path("/tmp"));
    setenv("PATH", (root.path("/bin") + ":" + old_path).c_str(), 1);
}

fake_firmware::~fake_firmware() {
    setenv("PATH", old_path.c_str(), 1);
}

void fake_firmware::set_running(bool running) const {
    if (running) {
        root.write("/proc/4242/comm", "cgminer\n");
        root.write("/proc/4242/cmdline", std::string("cgminer\0--api-listen\0", 22));
    } else {
        std::filesystem::remove_all(root.path("/proc/4242"));
    }
}

void fake_firmware::hold(bool on) const {
    if (on) {
        root.write("/hold", "");
    } else {
        std::filesystem::remove(root.path("/hold"));
    }
}

std::vector<std::string> fake_firmware::calls() const {
    std::vector<std::string> lines;
    std::istringstream text(root.read("/calls"));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        count++;
    }
    return count;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
