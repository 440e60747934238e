#include "util.h"

#include "test_root.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

namespace {

url_info parsed(const char* url) {
    url_info info{};
    EXPECT_EQ(parse_url(url, &info), 0) << url;
    return info;
}

} // namespace

TEST(ParseUrl, SplitsSchemeHostPortAndPath) {
    url_info info = parsed("wss://agent.example.com/api/v1/ws");
    EXPECT_STREQ(info.proto, "wss");
    EXPECT_STREQ(info.host, "agent.example.com");
    EXPECT_EQ(info.port, 443);
    EXPECT_STREQ(info.path, "/api/v1/ws");

    info = parsed("ws://10.0.0.1:8080");
    EXPECT_STREQ(info.proto, "ws");
    EXPECT_STREQ(info.host, "10.0.0.1");
    EXPECT_EQ(info.port, 8080);
    EXPECT_STREQ(info.path, "/");

    EXPECT_STREQ(parsed("wss://h/a/b?x=1").path, "/a/b");
    EXPECT_EQ(parsed("wss://h:abc/").port, 0);
    EXPECT_EQ(parsed("http://h/").port, 80);
    EXPECT_EQ(parsed("https://h/").port, 443);
}

TEST(ParseUrl, RejectsTextThatIsNotAUrl) {
    url_info info{};
    for (const char* url : {"", "localhost:443/x", "://host/x", "wss://", "wss://:443/path"}) {
        EXPECT_EQ(parse_url(url, &info), -1) << url;
    }
}

TEST(ParseUrl, CutsOverlongPartsWithoutOverflow) {
    std::string url = "wss://" + std::string(400, 'h') + "/" + std::string(400, 'p');
    url_info info = parsed(url.c_str());
    EXPECT_EQ(std::string(info.host), std::string(249, 'h'));
    EXPECT_EQ(info.path[0], '/');

    std::string long_scheme = std::string(40, 's') + "://host/";
    EXPECT_EQ(std::string(parsed(long_scheme.c_str()).proto), std::string(31, 's'));
}

TEST(Util, FormatsAddresses) {
    char buf[18];
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc};
    EXPECT_STREQ(ether_to_str(mac, buf), "00:11:22:aa:bb:cc");

    char ip[16];
    EXPECT_STREQ(inet_to_str(inet_addr("192.168.1.254"), ip), "192.168.1.254");
    EXPECT_STREQ(inet_to_str(0xffffffffu, ip), "255.255.255.255");
}

TEST(Util, HexEncodes) {
    uint8_t bytes[16];
    for (uint8_t i = 0; i < 16; i++) {
        bytes[i] = i;
    }
    char buf[33];
    EXPECT_STREQ(util_hex(bytes, 16, buf), "000102030405060708090a0b0c0d0e0f");
    EXPECT_STREQ(util_hex(bytes, 0, buf), "");
    const uint8_t high[2] = {0xab, 0xff};
    EXPECT_STREQ(bin_to_hex(high, 2, buf), "abff");
}

TEST(Util, ReplacesSubstrings) {
    test_root root;
    EXPECT_STREQ(str_replace("a-b-c", "-", "--").get(), "a--b--c");
    EXPECT_STREQ(str_replace("}{}{", "}{", "},{").get(), "},{},{");
    EXPECT_STREQ(str_replace("aaaa", "aa", "b").get(), "bb");
    EXPECT_STREQ(str_replace("x:inf,", ":inf", ":0").get(), "x:0,");
    EXPECT_STREQ(str_replace("nothing", "zz", "y").get(), "nothing");
    EXPECT_EQ(str_replace("abc", "", "y"), nullptr);
    EXPECT_NE(root.log().find("ERROR util.cpp:"), std::string::npos);
    EXPECT_NE(root.log().find("Substring can't be empty!"), std::string::npos);
}
