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
using testing::HasSubstr;
using testing::MatchesRegex;

namespace {

std::string error_line(const std::string& message) {
    return "ERROR miner/api\\.cpp:[0-9]+: " + message + "\n";
}

// Calls "stats" against a daemon scripted with `reply`.
int call_with(fake_daemon& daemon, fake_reply reply, json_ptr* result) {
    daemon.script("stats", std::move(reply));
    return api_call_cmd("stats", result);
}

} // namespace

TEST(ApiCall, NoDaemonListening) {
    test_root root;
    int port = closed_port();
    platform_configure(root.dir, "lo", port);
    json_ptr reply(json_object());
    EXPECT_EQ(api_call_cmd("stats", &reply), -1);
    EXPECT_EQ(reply, nullptr);
    EXPECT_THAT(root.log(), MatchesRegex(error_line("Connection failed to API at 127\\.0\\.0\\.1:" +
                                                    std::to_string(port))));
    EXPECT_FALSE(api_is_alive());
}

TEST(ApiCall, SendsTheRequestAndParsesTheReply) {
    test_root root;
    fake_daemon daemon;
    daemon.script("stats", {"{\"STATUS\": [{\"STATUS\": \"S\"}], \"id\": 1}"});
    daemon.script("pools", {"{\"POOLS\": []}"});
    json_ptr reply;
    ASSERT_EQ(api_call_cmd("stats", &reply), 0);
    EXPECT_EQ(json_integer_value(json_object_get(reply.get(), "id")), 1);
    ASSERT_EQ(api_call_cmd_with_parameter("pools", "0", &reply), 0);
    EXPECT_TRUE(json_is_array(json_object_get(reply.get(), "POOLS")));
    EXPECT_TRUE(api_is_alive());
    EXPECT_TRUE(wait_until([&] { return daemon.requests().size() == 3; }));
    EXPECT_THAT(daemon.requests(),
                ElementsAre("{\"command\": \"stats\"}",
                            "{\"command\": \"pools\", \"parameter\": \"0\"}", ""));
    EXPECT_EQ(root.log(), "");

    // Settings that make no sense leave the address alone.
    api_set_addr(nullptr, closed_port());
    api_set_addr("127.0.0.1", 0);
    api_set_addr("127.0.0.1", -1);
    EXPECT_EQ(api_call_cmd("stats", &reply), 0);
}

TEST(ApiCall, RepairsTheDaemonsDefects) {
    test_root root;
    fake_daemon daemon;
    json_ptr reply;
    ASSERT_EQ(call_with(daemon, {"{\"STATS\":[{\"a\":1}{\"b\":inf,\"c\":\"x:inf\"}]}"}, &reply), 0);
    json_t* stats = json_object_get(reply.get(), "STATS");
    ASSERT_EQ(json_array_size(stats), 2u);
    EXPECT_EQ(json_integer_value(json_object_get(json_array_get(stats, 1), "b")), 0);
    // A plain text substitution: text values are changed as well.
    EXPECT_STREQ(json_string_value(json_object_get(json_array_get(stats, 1), "c")), "x:0");

    // The daemon terminates its reply with a NUL; what follows it is not read.
    ASSERT_EQ(call_with(daemon, {std::string("{\"a\":2}\0garbage", 15)}, &reply), 0);
    EXPECT_EQ(json_integer_value(json_object_get(reply.get(), "a")), 2);
}

TEST(ApiCall, ReceivesLongRepliesWhole) {
    test_root root;
    fake_daemon daemon;
    // Sizes around the buffer's steps of 4096 bytes.
    for (size_t size : {4083u, 4084u, 4085u, 8180u, 300000u}) {
        std::string filler(size, 'x');
        json_ptr reply;
        ASSERT_EQ(call_with(daemon, {"{\"long\":\"" + filler + "\"}"}, &reply), 0) << size;
        EXPECT_EQ(json_string_length(json_object_get(reply.get(), "long")), size);
    }
}

TEST(ApiCall, BrokenRepliesFail) {
    test_root root;
    fake_daemon daemon;
    json_ptr reply;
    EXPECT_EQ(call_with(daemon, {"{\"STATS\":[{}{\"Elapsed\":"}, &reply), -1);
    EXPECT_EQ(reply, nullptr);
    std::string log = root.log();
    EXPECT_THAT(log, ContainsRegex(error_line(".+\nERROR miner/api\\.cpp:[0-9]+: Failed to "
                                              "parse API response:\n\\{\"STATS\":\\[\\{\\},\\{"
                                              "\"Elapsed\":")));
    EXPECT_EQ(count_of(log, "ERROR"), 2);

    EXPECT_EQ(call_with(daemon, {""}, &reply), -1);
    EXPECT_THAT(root.log(), ContainsRegex("Failed to parse API response:\n\n"));

    // The daemon dies half-way through its reply.
    EXPECT_EQ(call_with(daemon, {"{\"STATS\":[", FAKE_RESET}, &reply), -1);
    EXPECT_THAT(root.log(),
                ContainsRegex(error_line("Failed to receive API response: Connection reset by "
                                         "peer\nERROR miner/api\\.cpp:[0-9]+: Failed to receive "
                                         "API response")));
}

TEST(ApiCall, SilentDaemonTimesOut) {
    test_root root;
    fake_daemon daemon;
    api_set_timeout_ms(100);
    json_ptr reply;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call_with(daemon, {"{\"STATS\":", FAKE_SILENT}, &reply), -1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_THAT(root.log(), ContainsRegex(error_line("Timed out after 100 ms waiting for API "
                                                     "response\nERROR miner/api\\.cpp:[0-9]+: "
                                                     "Failed to receive API response")));
    // The next exchange is not disturbed by the abandoned one.
    EXPECT_EQ(call_with(daemon, {"{}"}, &reply), 0);
}

TEST(ApiCall, ConnectTimesOutWhenTheDaemonCannotAccept) {
    test_root root;
    // A listener that never accepts, its queue filled by connections of our own: the
    // kernel drops further handshakes, so the client's connect hangs.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    int fillers[4];
    for (int& filler : fillers) {
        filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    }
    api_set_addr("127.0.0.1", ntohs(addr.sin_port));
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

TEST(ApiCall, RunawayReplyIsRefused) {
    test_root root;
    fake_daemon daemon;
    // A small limit: the real one would take seconds to fill under the sanitizers.
    api_set_max_reply(65536);
    json_ptr reply;
    std::string exact = "[\"" + std::string(65536 - 4, 'x') + "\"]";
    EXPECT_EQ(call_with(daemon, {exact}, &reply), 0);
    EXPECT_EQ(call_with(daemon, {exact + " "}, &reply), -1);
    EXPECT_THAT(root.log(), ContainsRegex(error_line("API response is larger than 65536 bytes\n"
                                                     "ERROR miner/api\\.cpp:[0-9]+: Failed to "
                                                     "receive API response")));
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
