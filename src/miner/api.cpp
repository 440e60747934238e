#include "miner/api.h"

#include "log.h"
#include "platform.h"
#include "util.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

using api_clock = std::chrono::steady_clock;

const char* const DEFAULT_HOST = "127.0.0.1";
constexpr size_t RECEIVE_STEP = 4096;

// Held for the whole of every exchange, so requests never interleave.
std::mutex api_mutex;
std::string api_host = DEFAULT_HOST;  // guarded by api_mutex
int api_port = 0;                     // guarded by api_mutex; 0: the platform's daemon port
int api_timeout_ms = API_TIMEOUT_MS;  // guarded by api_mutex
size_t api_max_reply = API_MAX_REPLY; // guarded by api_mutex

// Readable once api_abort_exchanges was called: every wait ends at once, so threads that are
// waiting on a slow daemon can be stopped promptly.
int abort_fd() {
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}
std::atomic<bool> aborted = false;

int current_port() {
    return api_port > 0 ? api_port : platform_api_port();
}

api_clock::time_point deadline_from_now() {
    return api_clock::now() + std::chrono::milliseconds(api_timeout_ms);
}

// wait_for's result when api_abort_exchanges cut the wait short.
constexpr int WAIT_ABORTED = -2;

// Waits until `fd` reports one of `events` (or an error or hang-up, which the next call on
// the socket reports). Returns 1 when ready, 0 when the deadline passed, -1 on a poll error,
// WAIT_ABORTED when the agent is stopping.
int wait_for(int fd, short events, api_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - api_clock::now());
        if (left.count() <= 0) {
            return 0;
        }
        pollfd entries[2] = {{fd, events, 0}, {abort_fd(), POLLIN, 0}};
        int ready = poll(entries, 2, static_cast<int>(left.count()));
        if (ready > 0) {
            return entries[1].revents != 0 ? WAIT_ABORTED : 1;
        }
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
    }
}

// A connected, non-blocking socket; -1 when the host cannot be resolved or no socket can be
// made, -2 when the connection fails or times out.
int open_api_conn() {
    // gethostbyname's static result is safe here: api_mutex is held and nothing else in the
    // agent calls it.
    hostent* host = gethostbyname(api_host.c_str());
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr) {
        LOG_ERROR("Can't resove hostname: %s", api_host.c_str());
        return -1;
    }
    // Close-on-exec: the init scripts run by the process-control workers start the daemon,
    // which must not inherit a connection to itself.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LOG_ERROR("Can't create a socket: %s", strerror(errno));
        return -1;
    }
    // Reset on close instead of leaving thousands of connections in TIME_WAIT.
    linger no_linger = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &no_linger, sizeof(no_linger));

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(current_port() & 0xffff));
    memcpy(&addr.sin_addr, host->h_addr_list[0], sizeof(addr.sin_addr));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        return fd;
    }
    if (errno != EINPROGRESS) {
        close(fd);
        return -2;
    }
    int ready = wait_for(fd, POLLOUT, deadline_from_now());
    int error = 0;
    socklen_t length = sizeof(error);
    if (ready == 0) {
        LOG_ERROR("Timed out after %d ms connecting to API at %s:%d", api_timeout_ms,
                  api_host.c_str(), current_port());
        error = ETIMEDOUT;
    } else if (ready == WAIT_ABORTED) {
        error = ECANCELED;
    } else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    if (error != 0) {
        close(fd);
        return -2;
    }
    return fd;
}

// One send of the whole request, not retried; the number of bytes sent or -1.
ssize_t send_request(int fd, const char* request, api_clock::time_point deadline) {
    int ready = wait_for(fd, POLLOUT, deadline);
    if (ready == 0) {
        LOG_ERROR("Timed out after %d ms sending API request: %s", api_timeout_ms,
                  log_escape(request).c_str());
        return -1;
    }
    if (ready == WAIT_ABORTED) {
        return -1;
    }
    // MSG_NOSIGNAL: a daemon that has already hung up must not kill the agent with SIGPIPE.
    ssize_t sent = send(fd, request, strlen(request), MSG_NOSIGNAL);
    if (sent < 0) {
        LOG_ERROR("Failed to send API request: %s", log_escape(request).c_str());
        return -1;
    }
    return sent;
}

// Reads until the daemon closes the connection. Returns the number of bytes received with
// `out` holding them NUL-terminated, or -1.
ssize_t receive_response(int fd, c_text* out, api_clock::time_point deadline) {
    size_t capacity = RECEIVE_STEP + 1;
    c_text buffer(static_cast<char*>(malloc(capacity)));
    if (!buffer) {
        LOG_ERROR("Failed to allocate memory for receive buffer!");
        log_exit(1);
    }
    size_t held = 0;
    for (;;) {
        if (held == capacity) {
            void* grown = realloc(buffer.get(), capacity + RECEIVE_STEP);
            if (grown == nullptr) {
                LOG_ERROR("Failed to reallocate memory for receive buffer!");
                log_exit(1);
            }
            (void)buffer.release();
            buffer.reset(static_cast<char*>(grown));
            capacity += RECEIVE_STEP;
        }
        int ready = wait_for(fd, POLLIN, deadline);
        if (ready == 0) {
            LOG_ERROR("Timed out after %d ms waiting for API response", api_timeout_ms);
            return -1;
        }
        if (ready == WAIT_ABORTED) {
            return -1;
        }
        ssize_t got = ready < 0 ? -1 : recv(fd, buffer.get() + held, capacity - held, 0);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            LOG_ERROR("Failed to receive API response: %s", strerror(errno));
            return -1;
        }
        held += static_cast<size_t>(got);
        if (held > api_max_reply) {
            LOG_ERROR("API response is larger than %zu bytes", api_max_reply);
            return -1;
        }
    }
    buffer.get()[held] = '\0';
    *out = std::move(buffer);
    return static_cast<ssize_t>(held);
}

// An exchange cut short because the agent is stopping is no fault of the daemon's: that is
// logged instead of the failure. True when that was the case.
bool abandoned() {
    if (!aborted) {
        return false;
    }
    LOG_INFO("Daemon API exchange abandoned: the agent is stopping");
    return true;
}

json_ptr build_request(const char* command, const char* parameter) {
    json_ptr request(json_object());
    json_object_set_new(request.get(), "command", json_string(command));
    if (parameter != nullptr) {
        json_object_set_new(request.get(), "parameter", json_string(parameter));
    }
    return request;
}

} // namespace

void api_set_addr(const char* host, int port) {
    if (host == nullptr || port <= 0) {
        return;
    }
    std::lock_guard lock(api_mutex);
    api_host = host;
    api_port = port;
}

void api_set_timeout_ms(int ms) {
    if (ms <= 0) {
        return;
    }
    std::lock_guard lock(api_mutex);
    api_timeout_ms = ms;
}

void api_set_max_reply(size_t bytes) {
    if (bytes == 0) {
        return;
    }
    std::lock_guard lock(api_mutex);
    api_max_reply = bytes;
}

void api_reset() {
    std::lock_guard lock(api_mutex);
    api_host = DEFAULT_HOST;
    api_port = 0;
    api_timeout_ms = API_TIMEOUT_MS;
    api_max_reply = API_MAX_REPLY;
    aborted = false;
    uint64_t count = 0;
    while (read(abort_fd(), &count, sizeof(count)) > 0) {
    }
}

bool api_is_alive() {
    std::lock_guard lock(api_mutex);
    unique_fd fd(open_api_conn());
    return fd.get() >= 0;
}

json_ptr api_parse_reply(const char* text) {
    // The daemon writes array elements back to back without a comma ...
    std::unique_ptr<char[]> separated = str_replace(text, "}{", "},{");
    // ... and prints an infinite figure as the bare word inf.
    std::unique_ptr<char[]> repaired = str_replace(separated.get(), ":inf", ":0");
    separated.reset();
    json_error_t error;
    json_ptr reply(json_loads(repaired.get(), 0, &error));
    if (!reply) {
        LOG_ERROR("%s", log_escape(error.text).c_str());
        LOG_ERROR("Failed to parse API response:\n%s", log_escape_lines(repaired.get()).c_str());
    }
    return reply;
}

void api_abort_exchanges() {
    aborted = true;
    const uint64_t one = 1;
    if (write(abort_fd(), &one, sizeof(one)) < 0) {
        LOG_ERROR("Failed to cancel daemon API exchanges: %s", strerror(errno));
    }
}

int api_call(json_t* request, json_ptr* reply) {
    reply->reset();
    std::lock_guard lock(api_mutex);
    if (aborted) {
        return -1; // the agent is stopping; nobody waits for the answer
    }
    unique_fd fd(open_api_conn());
    if (!fd) {
        if (abandoned()) {
            return -1;
        }
        LOG_ERROR("Connection failed to API at %s:%d", api_host.c_str(), current_port());
        return -1;
    }
    c_text request_text(json_dumps(request, 0));
    if (!request_text || send_request(fd.get(), request_text.get(), deadline_from_now()) < 0) {
        if (abandoned()) {
            return -1;
        }
        LOG_ERROR("Failed to send API request");
        return -1;
    }
    c_text response;
    if (receive_response(fd.get(), &response, deadline_from_now()) < 0) {
        if (abandoned()) {
            return -1;
        }
        LOG_ERROR("Failed to receive API response");
        return -1;
    }
    *reply = api_parse_reply(response.get());
    return *reply ? 0 : -1;
}

int api_call_cmd(const char* command, json_ptr* reply) {
    return api_call(build_request(command, nullptr).get(), reply);
}

int api_call_cmd_with_parameter(const char* command, const char* parameter, json_ptr* reply) {
    return api_call(build_request(command, parameter).get(), reply);
}
