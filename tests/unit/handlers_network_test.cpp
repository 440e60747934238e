#include "handlers.h"

#include "miner/fakes.h"
#include "test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using testing::HasSubstr;

namespace {

const std::string NET_CONF = "/config/network.conf";
const std::string DHCP = "hostname=antminer\ndhcp=true\n";
const std::string STATIC = "hostname=miner-7\nipaddress=10.0.0.7\nnetmask=255.255.255.0\n"
                           "gateway=10.0.0.1\ndnsservers=\"8.8.8.8 1.1.1.1\"\n";
const std::string STATIC_PAYLOAD =
    R"("ip": "10.0.0.7", "netmask": "255.255.255.0", "gateway": "10.0.0.1")";

} // namespace

// A change restarts networking; the file is read back in tests/unit/miner/network_test.cpp.
// The same DHCP settings keeping the file and the connection are checked end to end in
// tests/e2e/test_config_commands.py.
TEST(ConfigNetwork, WritesOnlyValidChangedSettings) {
    const std::string name49(49, 'h');
    struct {
        const char* what;
        std::string current; // file before; the file after is `expected` or, when empty, this
        std::string payload;
        int result;
        std::string expected;
        const char* logged;
    } cases[] = {
        {"static settings; unusable name servers skipped", DHCP,
         R"({"mode": "static", "hostname": "miner-7", )" + STATIC_PAYLOAD +
             R"(, "dnsservers": [1, "8.8.8.8", "x", "fe80::1", "1.1.1.1"]})",
         1, STATIC, ""},
        {"same static settings", STATIC,
         R"({"mode": "manual", "hostname": "miner-7", )" + STATIC_PAYLOAD +
             R"(, "dnsservers": ["8.8.8.8", "1.1.1.1"]})",
         0, "", ""},
        {"first 8 of 9 name servers; a bad address is 0.0.0.0", DHCP,
         R"({"mode": "static", "hostname": "h", "ip": "10.0.0.300", "netmask": "255.0.0.0",
             "gateway": "10.0.0.1", "dnsservers": ["1.0.0.1", "1.0.0.2", "1.0.0.3", "1.0.0.4",
             "1.0.0.5", "1.0.0.6", "1.0.0.7", "1.0.0.8", "1.0.0.9"]})",
         1,
         "hostname=h\nipaddress=0.0.0.0\nnetmask=255.0.0.0\ngateway=10.0.0.1\ndnsservers=\"1.0.0.1 "
         "1.0.0.2 1.0.0.3 1.0.0.4 1.0.0.5 1.0.0.6 1.0.0.7 1.0.0.8\"\n",
         ""},
        {"DHCP without a host name", STATIC, R"({"mode": "dhcp"})", 1, "hostname=\ndhcp=true\n",
         ""},
        {"longest host name", DHCP, R"({"mode": "dhcp", "hostname": ")" + name49 + "\"}", 1,
         "hostname=" + name49 + "\ndhcp=true\n", ""},
        {"upper-case DHCP is static", DHCP, R"({"mode": "DHCP", "hostname": "a"})", -1, "",
         "Static network mode requires ALL parameters"},
        {"name servers not an array", DHCP,
         R"({"mode": "static", "hostname": "a", )" + STATIC_PAYLOAD +
             R"(, "dnsservers": "8.8.8.8"})",
         -1, "", "dnsservers must be an array"},
        {"no usable name server", DHCP,
         R"({"mode": "static", "hostname": "a", )" + STATIC_PAYLOAD +
             R"(, "dnsservers": [8, "dns.example"]})",
         -1, "", "Failed to parse ns-servers"},
        {"no mode", DHCP, R"({"hostname": "a"})", -1, "", "Failed to parse net config request"},
        {"unreadable current file", "hostname\n", R"({"mode": "dhcp"})", -1, "",
         "Failed to load network config"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test_root root;
        fake_firmware firmware(root);
        root.write(NET_CONF, c.current);
        EXPECT_EQ(agent_config_network(parse_json(c.payload).get()), c.result);
        EXPECT_EQ(root.read(NET_CONF), c.expected.empty() ? c.current : c.expected);
        EXPECT_THAT(root.log(), HasSubstr(c.logged));
        // Networking restarts only after a change.
        EXPECT_EQ(root.read("/calls"), c.result == 1 ? "network.sh restart\n" : "");
    }
}

// The firmware's network script reads the file with the shell: a host name it could misread
// never gets there. A file that cannot be written, as on a full or read-only disk, stays.
TEST(ConfigNetwork, RefusesHostNamesAShellCouldMisread) {
    test_root root;
    root.write(NET_CONF, DHCP);
    for (const std::string& name :
         std::vector<std::string>{"a;reboot", "$(reboot)", "-rf", "a b", "a\\nb", "x\\u00e9",
                                  "\\\"q\\\"", std::string(50, 'h')}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(
            config_network(parse_json(R"({"mode": "dhcp", "hostname": ")" + name + "\"}").get()),
            -1);
        EXPECT_EQ(root.read(NET_CONF), DHCP);
    }
    EXPECT_EQ(count_of(root.log(), "Refusing host name"), 8);

    std::filesystem::create_directories(root.path(NET_CONF + ".tmp"));
    EXPECT_EQ(config_network(parse_json(R"({"mode": "dhcp", "hostname": "third"})").get()), -1);
    EXPECT_EQ(root.read(NET_CONF), DHCP);
    EXPECT_THAT(root.log(), HasSubstr("Failed to save network config"));
}
