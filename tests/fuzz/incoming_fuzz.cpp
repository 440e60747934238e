// libFuzzer target for the incoming path: fragment assembly, classification and dispatch,
// driven the way the receive callback drives them, on connection data built here (there is
// no libwebsockets connection, so the connection handle is null). The configuration commands
// work on a sandbox root whose daemon, network and web password files are put back before
// every input, so each input starts from the same machine.
//
// Input: byte 0, low 3 bits = number of cuts C; then C little-endian 16-bit fragment
// lengths; the rest is the message text, cut into C + 1 fragments (a length past the end
// takes what is left, the last fragment takes the rest; fragments may be empty).
#include "agent.h"
#include "log.h"
#include "platform.h"
#include "protocol.h"

#include <libwebsockets.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

namespace {

std::string root; // the temporary sandbox root of this process

// A realistic daemon configuration: three pools, per-chain and per-chip settings, autotuner.
const char* const MINER_CONFIG = R"({
"pools" : [
{"url" : "stratum+tcp://ltc.pool.example:3333", "user" : "farm.rig1", "pass" : "x"},
{"url" : "stratum+tcp://ltc-eu.pool.example:8888", "user" : "farm.rig1", "pass" : "123"},
{"url" : "", "user" : "", "pass" : ""}
]
,
"api-listen" : true,
"bitmain-fan-ctrl" : false,
"bitmain-fan-pwm" : "80",
"bitmain-target-temp" : "75",
"bitmain-freq" : "384",
"bitmain-voltage" : "8",
"bitmain-freq2" : "400",
"bitmain-voltage2" : "9",
"multi-version" : "1",
"bitmain-autodownscale-profile" : "0",
"bitmain-autodownscale" : true,
"bitmain-autodownscale-min" : "350",
"bitmain-chip-freq" : "0:0:0:0:400",
"bitmain-minhr" : "400",
"bitmain-tempoff" : "95"
})";
const char* const NETWORK_CONFIG = "hostname=antminer\ndhcp=true\n";
const char* const WEB_PASSWORD = "root:antMiner Configuration:455af7a652377822a17fe34a85224e7c";
const char* const CHIP_HR = R"({"chiphr": [[1.5, 2.5, 0], [], [3], [4.25]]})";

void write_file(const std::string& abs, const std::string& content, bool executable = false) {
    const std::string path = root + abs;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    if (executable) {
        chmod(path.c_str(), 0755);
    }
}

void remove_root() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "incoming_fuzz: %s\n", what);
    abort();
}

// A sandbox like cvagent-sandbox's: "reboot" and "logs" may only ever reach these stubs.
void make_sandbox() {
    std::string pattern = (std::filesystem::temp_directory_path() / "cvagent-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp failed");
    }
    root = pattern;
    atexit(remove_root);
    for (const char* stub : {"/bin/reboot", "/bin/sync", "/bin/pidof", "/etc/init.d/network.sh"}) {
        write_file(stub, "#!/bin/sh\nexit 0\n", true);
    }
    write_file("/www/pages/cgi-bin/get_kernel_log.cgi",
               "#!/bin/sh\necho '[    0.000000] fuzz: simulated kernel log'\n", true);
    // Every level is formatted (so format bugs surface) and nothing is written anywhere.
    write_file("/opt/corvane/etc/log.conf", "log4cplus.logger.agent=DEBUG, null\n"
                                            "log4cplus.appender.null=log4cplus::NullAppender\n");
    // The daemon runs, so a changed configuration reaches the restart path.
    write_file("/bin/pidof", "#!/bin/sh\necho 1\n", true);
    write_file("/etc/init.d/cgminer.sh", "#!/bin/sh\nexit 0\n", true);
    write_file("/www/pages/cgi-bin/chip_hr.json", CHIP_HR);

    const std::string path = root + "/bin:/usr/local/bin:/usr/bin:/bin";
    setenv("PATH", path.c_str(), 1);
    platform_configure(root, "lo", 4028);
    if (log_init() != 0) {
        fail("log_init failed");
    }
}

agent_state state;
agent_vhd vhd;
alignas(agent_psd) unsigned char psd_storage[sizeof(agent_psd)];
// The auth handler asks for a writable callback on the connection; counted by the wrapper.
unsigned writable_requests = 0;

// What the receive callback would have: a freshly established connection whose
// authentication request is out.
agent_psd* open_connection() {
    auto* psd = new (psd_storage) agent_psd{};
    psd->established = true;
    psd->wsi = nullptr;
    psd->auth = STATE_AUTH_MSG_SENT;
    out_msgs_create(psd);
    if (psd->out_msgs == nullptr) {
        fail("lws_ring_create failed");
    }
    return psd;
}

// Drains the queue as the write handler would. A message's replies carry its own type, one
// at most, and must encode as send_message encodes them.
void check_replies(agent_psd* psd, const char* type) {
    std::lock_guard lock(psd->msgs_lock);
    unsigned count = 0;
    while (const auto* element = static_cast<const outgoing_message*>(
               lws_ring_get_element(psd->out_msgs, &psd->tail))) {
        count++;
        const char* reply_type = json_string_value(json_object_get(element->root, "type"));
        if (!json_is_object(element->root) || reply_type == nullptr || type == nullptr ||
            strcmp(reply_type, type) != 0 ||
            !json_is_boolean(json_object_get(element->root, "ok"))) {
            fail("queued reply is not a result reply of the message's type");
        }
        c_text text(json_dumps(element->root, JSON_INDENT(2) | JSON_REAL_PRECISION(10)));
        if (!text) {
            fail("queued reply does not encode");
        }
        lws_ring_consume_single_tail(psd->out_msgs, &psd->tail, 1);
    }
    if (count > 1) {
        fail("more than one reply queued for one message");
    }
}

void close_connection(agent_psd* psd) {
    out_msgs_destroy(psd);
    psd->~agent_psd();
}

// The type text of the assembled message, when it is a JSON object with a text "type".
std::string message_type(const agent_psd* psd, bool* has_type) {
    json_ptr message(json_loadb(psd->in_msg, psd->in_msg_len, 0, nullptr));
    const char* type = json_string_value(json_object_get(message.get(), "type"));
    *has_type = type != nullptr;
    return type != nullptr ? type : "";
}

} // namespace

// The auth handler is the one dispatch path that calls libwebsockets with the connection
// handle; with no connection here, the request is only counted.
extern "C" int __real_lws_callback_on_writable(lws* wsi);
extern "C" int __wrap_lws_callback_on_writable(lws* wsi) {
    if (wsi != nullptr) {
        return __real_lws_callback_on_writable(wsi);
    }
    writable_requests++;
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_sandbox();
    vhd.state = &state;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t cuts = data[0] & 7u;
    if (size < 1 + 2 * cuts) {
        return 0;
    }
    const uint8_t* header = data + 1;
    const uint8_t* text = data + 1 + 2 * cuts;
    size_t left = size - 1 - 2 * cuts;

    write_file("/config/cgminer.conf", MINER_CONFIG);
    write_file("/config/network.conf", NETWORK_CONFIG);
    write_file("/config/lighttpd-htdigest.user", WEB_PASSWORD);
    agent_psd* psd = open_connection();
    for (size_t i = 0; i <= cuts; i++) {
        size_t piece = left;
        if (i < cuts) {
            const size_t wanted = header[2 * i] | static_cast<size_t>(header[2 * i + 1]) << 8;
            piece = wanted < left ? wanted : left;
        }
        if (i == 0) {
            inc_msg_reset(psd);
        }
        // Copied so that ASan sees a read past the fragment, as it would in the library's buffer.
        std::unique_ptr<uint8_t[]> fragment(new uint8_t[piece]);
        if (piece > 0) {
            memcpy(fragment.get(), text, piece);
        }
        inc_msg_append_fragment(fragment.get(), piece, psd);
        text += piece;
        left -= piece;
    }
    if (psd->in_msg[psd->in_msg_len] != '\0' || psd->in_msg_len > IN_MSG_SIZE - 1) {
        fail("assembled message is not terminated within the buffer");
    }

    bool has_type = false;
    const std::string type = message_type(psd, &has_type);
    if (process_incomming_packets(&vhd, psd) == 0) {
        inc_msg_reset(psd);
    }
    check_replies(psd, has_type ? type.c_str() : nullptr);
    close_connection(psd);
    return 0;
}
