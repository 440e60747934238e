#include "miner/api.h"

#include "../test_root.h"
#include "fakes.h"
#include "platform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

using testing::ContainsRegex;
using testing::ElementsAre;

namespace {

std::string error_line(const std::string& message) {
    return "ERROR miner/api\\.cpp:[0-9]+: " + message + "\n";
}

std::string long_reply(size_t filler) {
    return "[\"" + std::string(filler, 'x') + "\"]";
}

} // namespace

TEST(ApiCall, SendsTheRequestAndParsesTheReply) {
    test_root root;
    fake_daemon daemon;
    daemon.script("stats", {"{\"STATUS\": [{\"STATUS\": \"S\"}], \"id\": 1}"});
    json_ptr reply;
    ASSERT_EQ(api_call_cmd("stats", &reply), 0);
    EXPECT_EQ(json_integer_value(json_object_get(reply.get(), "id")), 1);
    EXPECT_TRUE(api_is_alive());
    EXPECT_TRUE(wait_until([&] { return daemon.requests().size() == 2; }));
    EXPECT_THAT(daemon.requests(), ElementsAre("{\"command\": \"stats\"}", ""));
    EXPECT_EQ(root.log(), "");
}

// One daemon for every row: an abandoned exchange does not disturb the next one. A failure is
// logged where it is found and once more by the call, no more.
TEST(ApiCall, RepliesAsTheDaemonSendsThem) {
    test_root root;
    fake_daemon daemon;
    api_set_timeout_ms(300);
    // A small limit: the real one would take seconds to fill under the sanitizers.
    api_set_max_reply(65536);
    const struct {
        fake_reply reply;
        std::string parsed;      // the reply as read, compact; empty: the call fails
        std::string logged = ""; // the first error line when it fails
    } cases[] = {
        // The daemon writes objects back to back and "inf" for numbers, even inside texts.
        {{"{\"STATS\":[{\"a\":1}{\"b\":inf,\"c\":\"x:inf\"}]}"},
         R"({"STATS":[{"a":1},{"b":0,"c":"x:0"}]})"},
        // It terminates its reply with a NUL; what follows it is not read.
        {{std::string("{\"a\":2}\0garbage", 15)}, R"({"a":2})"},
        // Sizes around the buffer's steps of 4096 bytes, up to the limit.
        {{long_reply(4091)}, long_reply(4091)},
        {{long_reply(4092)}, long_reply(4092)},
        {{long_reply(65536 - 4)}, long_reply(65536 - 4)},
        {{long_reply(65536 - 4) + " "}, "", "API response is larger than 65536 bytes"},
        // Its text cannot forge a line of the log, nor reach a terminal with an 8-bit control.
        {{"{\"STATS\":[{}{\"Elapsed\":\nINFO forged\x9b\xc2\x9b"},
         "",
         ".+\nERROR miner/api\\.cpp:[0-9]+: Failed to parse API response:\n    "
         "\\{\"STATS\":\\[\\{\\},\\{\"Elapsed\":\n    INFO forged\\\\x9b\\\\xc2\\\\x9b"},
        // The daemon never ends its reply, or dies half-way through it.
        {{"{\"STATS\":", FAKE_SILENT}, "", "Timed out after 300 ms waiting for API response"},
        {{"{\"STATS\":[", FAKE_RESET},
         "",
         "Failed to receive API response: Connection reset by peer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.text.substr(0, 40));
        const size_t logged_before = root.log().size();
        daemon.script("stats", c.reply);
        json_ptr reply;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(api_call_cmd("stats", &reply), c.parsed.empty() ? -1 : 0);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(took >= std::chrono::milliseconds(300), c.reply.ending == FAKE_SILENT);
        EXPECT_LT(took, std::chrono::seconds(5));
        c_text text(reply ? json_dumps(reply.get(), JSON_COMPACT) : nullptr);
        EXPECT_EQ(text ? text.get() : "", c.parsed);
        const std::string log = root.log().substr(logged_before);
        if (c.parsed.empty()) {
            EXPECT_THAT(log, ContainsRegex(error_line(c.logged)));
            EXPECT_EQ(count_of(log, "ERROR"), 2) << log;
        } else {
            EXPECT_EQ(log, "");
        }
    }
    api_reset();
}

// Nothing listens (counted end to end in tests/e2e/test_monitoring.py), or a listener never
// accepts: its queue is filled by connections of our own, so the kernel drops further handshakes
// and the client's connect hangs until its time-out.
TEST(ApiCall, ConnectFailsOrTimesOut) {
    test_root root;
    int port = closed_port();
    platform_configure(root.dir, "lo", port);
    json_ptr reply(json_object());
    EXPECT_EQ(api_call_cmd("stats", &reply), -1);
    EXPECT_EQ(reply, nullptr);

    int listener = listen_on_loopback(&port, 0);
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    int fillers[4];
    for (int& filler : fillers) {
        filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    }
    api_set_addr("127.0.0.1", port);
    api_set_timeout_ms(100);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(api_is_alive());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_THAT(root.log(), ContainsRegex(error_line("Timed out after 100 ms connecting to API "
                                                     "at 127\\.0\\.0\\.1:[0-9]+")));
    for (int filler : fillers) {
        close(filler);
    }
    close(listener);
    api_reset();
}

TEST(ApiCall, StopAbandonsAnExchangeWithoutBlamingTheDaemon) {
    test_root root;
    fake_daemon daemon;
    daemon.script("stats", {"{\"STATS\":", FAKE_SILENT});
    int result = 0;
    std::thread caller([&] {
        json_ptr reply;
        result = api_call_cmd("stats", &reply);
    });
    ASSERT_TRUE(wait_until([&] { return daemon.requests().size() == 1; }));
    api_abort_exchanges();
    caller.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(root.log(), "INFO Daemon API exchange abandoned: the agent is stopping\n");
    api_reset();
}
