#include "miner/network.h"

#include "../test_root.h"
#include "util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>

using testing::ContainsRegex;

namespace {

const std::string CONF = "/config/network.conf";

uint32_t ip(const char* text) {
    uint32_t a = 0;
    inet_pton(AF_INET, text, &a);
    return a;
}

std::string addr(uint32_t a) {
    char text[16];
    return inet_to_str(a, text);
}

// The record starts dirty so that bytes the reader forgets to clear show up.
int load(const test_root& root, const std::string& content, net_config* config) {
    root.write(CONF, content);
    memset(config, 0xa5, sizeof(*config));
    return net_load_config(root.path(CONF), config);
}

std::string error_line(const std::string& message) {
    return "ERROR miner/network\\.cpp:[0-9]+: " + message + "\n";
}

} // namespace

TEST(NetLoad, ReadsLinesInAnyOrder) {
    test_root root;
    net_config c;
    const char text[] =
        "# settings\nab=c\ndnsservers=\"8.8.8.8 1.1 fe80::1 1.0.0.1\"\nhostname=a-long-name\n"
        "NetMask=255.255.255.0\ngateway=10.0.0.1#lan\nipaddress=10.0.0.7\n"
        "hostname=ab\0\xff\n\0\0\0\0\0\nnetmask=bad\ndnsservers=\"9.9.9.9\"";
    ASSERT_EQ(load(root, std::string(text, sizeof(text) - 1), &c), 0);
    net_config expected{};
    expected.mode = NET_MODE_STATIC;
    strcpy(expected.hostname, "ab");
    expected.ip = ip("10.0.0.7");
    expected.netmask = ip("255.255.255.0");
    expected.gateway = ip("10.0.0.1");
    expected.ns[0] = ip("9.9.9.9");
    expected.ns_count = 1;
    EXPECT_EQ(memcmp(&c, &expected, sizeof(c)), 0);

    // "dhcp" compares its value case-sensitively but not its key; a bad address changes nothing.
    // Saving (the layout, a failed write) and restarting are checked through the command in
    // tests/unit/handlers_network_test.cpp; the file it writes for DHCP, without a host name,
    // reads back.
    ASSERT_EQ(load(root, "hostname=\ndhcp=true\n", &c), 0);
    EXPECT_EQ(c.mode, NET_MODE_DHCP);
    EXPECT_STREQ(c.hostname, "");
    ASSERT_EQ(load(root, "dhcp=TRUE\n", &c), 0);
    EXPECT_EQ(c.mode, NET_MODE_STATIC);
    EXPECT_EQ(c.ip, 0u);
    ASSERT_EQ(load(root, "dhcp=no\nDHCP=true\nipaddress=10.0.0.256\n", &c), 0);
    EXPECT_EQ(c.mode, NET_MODE_DHCP);

    std::string ten;
    for (int i = 1; i <= 10; i++) {
        ten += " 10.0.0." + std::to_string(i);
    }
    ASSERT_EQ(parse_dnsservers(ten.data(), &c), 0);
    EXPECT_EQ(c.ns_count, 8);
    EXPECT_EQ(addr(c.ns[7]), "10.0.0.8");
    char none[] = "\"fe80::1 bogus.name\"";
    EXPECT_EQ(parse_dnsservers(none, &c), -1);
    EXPECT_THAT(root.log(), ContainsRegex(error_line("Failed to parse ns-servers: \"fe80::1 "
                                                     "bogus\\.name\"")));
}

TEST(NetLoad, StructuralErrorsFailTheFile) {
    for (const auto& [content, message] :
         std::initializer_list<std::pair<std::string, std::string>>{
             {"hostname = rig\n", "Unsupported hostname = rig"},
             {"ipaddress=10.0.0.1\ngateway\n", "Failed to parse gateway"},
             {"==Speed=fast=x\n", "Unsupported speed=fast"},
             {"=====\n", "Failed to parse ====="},
             {"hostname=" + std::string(2000, 'X') + "\n", "Failed to parse x+"}, // read in pieces
         }) {
        test_root root;
        net_config c;
        EXPECT_EQ(load(root, content, &c), -1) << content;
        EXPECT_THAT(root.log(), ContainsRegex(error_line(message))) << content;
    }
    test_root root;
    net_config c;
    EXPECT_EQ(net_load_config(root.path(CONF), &c), -1);
    EXPECT_THAT(root.log(), ContainsRegex(error_line("Failed to load " + root.path(CONF))));
}

// The live interface, and a missing one, are reported end to end in tests/e2e/test_monitoring.py
// and tests/e2e/test_startup.py.
TEST(NetInfo, RouteTableResolverAndLiveInterface) {
    const std::string head = "Iface\tDestination\tGateway\tFlags\n" + std::string(3000, 'z') + "\n";
    for (const auto& [table, gateway] : std::initializer_list<std::pair<std::string, std::string>>{
             {head + "lo\t0000007F\t00000000\nlo\t00000000\t0102A8C0\nlo\t00000000\t0202A8C0\n",
              "192.168.2.1"},
             {head + "lo\t00000000\t00000000\n", ""},
             {head, ""},
         }) {
        test_root root;
        root.write("/proc/net/route", table);
        uint32_t gw = 7;
        EXPECT_EQ(get_default_gateway(&gw), gateway.empty() ? -1 : 0);
        EXPECT_EQ(gateway.empty() ? "" : addr(gw), gateway);
    }

    test_root root;
    uint32_t ns[NET_MAX_NS];
    int32_t n = 5;
    EXPECT_EQ(get_ns_servers(ns, &n), -1);
    EXPECT_EQ(n, 0);
    std::string text = "nameserver 2001:db8::1\nnameserver\t10.0.0.53 x\nnameserver10.0.0.1\n";
    for (int i = 1; i <= 9; i++) {
        text += "nameserver 10.1.0." + std::to_string(i) + "\n";
    }
    root.write("/etc/resolv.conf", text);
    ASSERT_EQ(get_ns_servers(ns, &n), 0);
    ASSERT_EQ(n, 8);
    EXPECT_EQ(addr(ns[0]) + " " + addr(ns[7]), "10.0.0.53 10.1.0.7");
}

// The DHCP form is uploaded in tests/e2e/test_session.py.
TEST(NetJson, Upload) {
    test_root root;
    EXPECT_EQ(cgminer_net_config(), nullptr);
    EXPECT_THAT(root.log(),
                ContainsRegex(error_line("Failed to load network config " + root.path(CONF))));

    root.write(CONF, "hostname=r\xe9g\nipaddress=10.0.0.2\nnetmask=255.0.0.0\ngateway=10.0.0.1\n"
                     "dnsservers=\"10.0.0.1 10.0.0.3\"\n");
    c_text text(json_dumps(cgminer_net_config().get(), JSON_SORT_KEYS | JSON_COMPACT));
    EXPECT_STREQ(text.get(), "{\"network\":{\"dnsservers\":[\"10.0.0.1\",\"10.0.0.3\"],"
                             "\"gateway\":\"10.0.0.1\",\"hostname\":\"r?g\",\"ip\":\"10.0.0.2\","
                             "\"mode\":\"static\",\"netmask\":\"255.0.0.0\"}}");
}
