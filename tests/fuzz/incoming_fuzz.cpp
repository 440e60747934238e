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
#include "fuzz_support.h"
#include "log.h"
#include "platform.h"
#include "protocol.h"

#include <libwebsockets.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

namespace {

const std::string& root = scratch_dir(); // a sandbox root like cvagent-sandbox's
// Put back before every input.
const std::pair<const char*, std::string> CONFIG_FILES[] = {
    {"/config/cgminer.conf", read_file(CVAGENT_SOURCE_DIR "/tests/unit/miner/data/l3plus.conf")},
    {"/config/network.conf", "hostname=antminer\ndhcp=true\n"},
    {"/config/lighttpd-htdigest.user",
     "root:antMiner Configuration:455af7a652377822a17fe34a85224e7c"}};

agent_state state;
agent_vhd vhd;
alignas(agent_psd) unsigned char psd_storage[sizeof(agent_psd)];

// What the receive callback would have: a freshly established connection whose
// authentication request is out.
agent_psd* open_connection() {
    auto* psd = new (psd_storage) agent_psd{.auth = STATE_AUTH_MSG_SENT, .established = true};
    out_msgs_create(psd);
    require(psd->out_msgs != nullptr, "lws_ring_create failed");
    return psd;
}

// Drains the queue as the write handler would. A message's replies carry its own type, one
// at most, and must encode as send_message encodes them.
void check_replies(agent_psd* psd, const std::optional<std::string>& type) {
    std::lock_guard lock(psd->msgs_lock);
    unsigned count = 0;
    while (const auto* element = static_cast<const outgoing_message*>(
               lws_ring_get_element(psd->out_msgs, &psd->tail))) {
        count++;
        const char* reply_type = json_string_value(json_object_get(element->root, "type"));
        require(json_is_object(element->root) && reply_type != nullptr && type == reply_type &&
                    json_is_boolean(json_object_get(element->root, "ok")),
                "queued reply is not a result reply of the message's type");
        c_text text(json_dumps(element->root, JSON_INDENT(2) | JSON_REAL_PRECISION(10)));
        require(text != nullptr, "queued reply does not encode");
        lws_ring_consume_single_tail(psd->out_msgs, &psd->tail, 1);
    }
    require(count <= 1, "more than one reply queued for one message");
}

// The type text of the assembled message, when it is a JSON object with a text "type".
std::optional<std::string> message_type(const agent_psd* psd) {
    json_ptr message(json_loadb(psd->in_msg, psd->in_msg_len, 0, nullptr));
    const char* type = json_string_value(json_object_get(message.get(), "type"));
    return type != nullptr ? std::optional<std::string>(type) : std::nullopt;
}

} // namespace

// The auth handler is the one dispatch path that calls libwebsockets with the connection
// handle; with no connection here, the request is dropped.
extern "C" int __real_lws_callback_on_writable(lws* wsi);
extern "C" int __wrap_lws_callback_on_writable(lws* wsi) {
    return wsi != nullptr ? __real_lws_callback_on_writable(wsi) : 0;
}

// "reboot" and "logs" may only ever reach these stubs.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // pidof finds the daemon, so a changed configuration reaches the restart path.
    for (const char* stub :
         {"/bin/reboot", "/bin/sync", "/etc/init.d/network.sh", "/etc/init.d/cgminer.sh"}) {
        write_file(root + stub, "#!/bin/sh\nexit 0\n", true);
    }
    write_file(root + "/bin/pidof", "#!/bin/sh\necho 1\n", true);
    write_file(root + "/www/pages/cgi-bin/get_kernel_log.cgi",
               "#!/bin/sh\necho '[    0.000000] fuzz: simulated kernel log'\n", true);
    // Every level is formatted (so format bugs surface) and nothing is written anywhere.
    write_file(root + "/opt/corvane/etc/log.conf",
               "log4cplus.logger.agent=DEBUG, null\n"
               "log4cplus.appender.null=log4cplus::NullAppender\n");
    write_file(root + "/www/pages/cgi-bin/chip_hr.json",
               R"({"chiphr": [[1.5, 2.5, 0], [], [3], [4.25]]})");
    setenv("PATH", (root + "/bin:/usr/local/bin:/usr/bin:/bin").c_str(), 1);
    platform_configure(root, "lo", 4028);
    require(log_init() == 0, "log_init failed");
    vhd.state = &state;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t cuts = size > 0 ? data[0] & 7u : 0;
    if (size < 1 + 2 * cuts) {
        return 0;
    }
    const uint8_t* header = data + 1;
    const uint8_t* text = data + 1 + 2 * cuts;
    size_t left = size - 1 - 2 * cuts;

    for (const auto& [path, content] : CONFIG_FILES) {
        write_file(root + path, content);
    }
    agent_psd* psd = open_connection();
    inc_msg_reset(psd);
    for (size_t i = 0; i <= cuts; i++) {
        const size_t wanted = i < cuts ? header[2 * i] | size_t{header[2 * i + 1]} << 8 : left;
        const size_t piece = std::min(wanted, left);
        // Copied so that ASan sees a read past the fragment, as it would in the library's buffer.
        auto fragment = std::make_unique<uint8_t[]>(piece);
        memcpy(fragment.get(), text, piece);
        inc_msg_append_fragment(fragment.get(), piece, psd);
        text += piece;
        left -= piece;
    }
    require(psd->in_msg_len <= IN_MSG_SIZE - 1 && psd->in_msg[psd->in_msg_len] == '\0',
            "assembled message is not terminated within the buffer");

    const std::optional<std::string> type = message_type(psd);
    if (process_incomming_packets(&vhd, psd) == 0) {
        inc_msg_reset(psd);
    }
    check_replies(psd, type);
    out_msgs_destroy(psd);
    psd->~agent_psd();
    return 0;
}
