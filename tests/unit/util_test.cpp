#include "util.h"

#include "test_root.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

TEST(ParseUrl, SplitsSchemeHostPortAndPathAndCutsOverlongParts) {
    const std::string long_host = "wss://" + std::string(400, 'h') + "/" + std::string(400, 'p');
    const std::string long_scheme = std::string(40, 's') + "://host/";
    const struct {
        std::string url, proto, host;
        int port;
        std::string path;
    } cases[] = {
        {"wss://agent.example.com/api/v1/ws", "wss", "agent.example.com", 443, "/api/v1/ws"},
        {"ws://10.0.0.1:8080", "ws", "10.0.0.1", 8080, "/"},
        {"wss://h/a/b?x=1", "wss", "h", 443, "/a/b"},
        {"wss://h:abc/", "wss", "h", 0, "/"},
        {"http://h/", "http", "h", 80, "/"},
        // Only the first 255 characters count.
        {long_host, "wss", std::string(249, 'h'), 443, "/"},
        {long_scheme, std::string(31, 's'), "host", 80, "/"},
    };
    for (const auto& c : cases) {
        url_info info{};
        ASSERT_EQ(parse_url(c.url.c_str(), &info), 0) << c.url;
        EXPECT_EQ(std::string(info.proto), c.proto) << c.url;
        EXPECT_EQ(std::string(info.host), c.host) << c.url;
        EXPECT_EQ(info.port, c.port) << c.url;
        EXPECT_EQ(std::string(info.path), c.path) << c.url;
    }
    url_info info{};
    for (const char* url : {"", "wss://", "wss://:443/path"}) {
        EXPECT_EQ(parse_url(url, &info), -1) << url;
    }
}

TEST(Util, FormatsAddressesAndHex) {
    char text[33];
    const uint8_t bytes[6] = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xff};
    EXPECT_STREQ(ether_to_str(bytes, text), "00:11:22:aa:bb:ff");
    EXPECT_STREQ(util_hex(bytes, 0, text), "");
}

TEST(Util, ReplacesSubstrings) {
    test_root root;
    for (auto [text, from, to, expected] : {std::tuple{"a-b-c", "-", "--", "a--b--c"},
                                            {"aaaa", "aa", "b", "bb"},
                                            {"nothing", "zz", "y", "nothing"}}) {
        EXPECT_STREQ(str_replace(text, from, to).get(), expected);
    }
    EXPECT_EQ(str_replace("abc", "", "y"), nullptr);
    EXPECT_NE(root.log().find("ERROR util.cpp:"), std::string::npos);
}
