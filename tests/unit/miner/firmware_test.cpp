#include "miner/firmware.h"

#include "../test_root.h"
#include "platform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>

using testing::HasSubstr;

namespace {

// A tiny HTTPS file server over the root's /srv, with the reference server's certificate for
// "localhost". It gives up by itself after a minute, should a test leave it running.
const char* const HTTPS_SERVER = R"(
import functools, http.server, os, ssl, sys, time
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
srv = http.server.HTTPServer(("127.0.0.1", 0), handler)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[2], sys.argv[3])
srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
srv.timeout = 1
print(srv.server_address[1], os.getpid(), flush=True)
end = time.monotonic() + 60
while time.monotonic() < end:
    srv.handle_request()
)";

struct https_server {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe{nullptr, pclose};
    int port = 0;
    int pid = 0;

    explicit https_server(const test_root& root) {
        const std::string certs = std::string(CVAGENT_SOURCE_DIR) + "/tools/refserver/";
        root.write("/srv/script.py", HTTPS_SERVER);
        const std::string command = "exec /usr/bin/python3 " + root.path("/srv/script.py") + " " +
                                    root.path("/srv") + " " + certs + "localhost.pem " + certs +
                                    "localhost-key.pem 2>/dev/null";
        pipe.reset(popen(command.c_str(), "re"));
        if (!pipe || fscanf(pipe.get(), "%d %d", &port, &pid) != 2) {
            throw std::runtime_error("https test server did not start");
        }
    }
    ~https_server() { kill(pid, SIGTERM); }
};

} // namespace

TEST(Firmware, DownloadsOnlyATrustedPackage) {
    test_root root;
    const std::string certs = std::string(CVAGENT_SOURCE_DIR) + "/tools/refserver/";
    root.write("/srv/pkg.tar.gz", "package bytes");
    root.write("/tmp/.keep", "");
    https_server server(root);
    const std::string base = "https://localhost:" + std::to_string(server.port) + "/";
    const std::string out = root.path("/tmp/pkg.tar.gz");

    struct {
        const char* what;
        const char* file;
        const char* ca; // CA bundle installed in the root
        int result;
        const char* content;
        const char* logged;
    } cases[] = {
        {"good package", "pkg.tar.gz", "localhost.pem", 0, "package bytes", ""},
        // The public store does not vouch for the test server's own certificate.
        {"untrusted certificate", "pkg.tar.gz", "/etc/ssl/certs/ca-certificates.crt", -1, "",
         "Failed to download firmware update, code: 60"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform_run("mkdir -p " + root.path("/opt/corvane/certs") + " && cp " +
                     (c.ca[0] == '/' ? c.ca : certs + c.ca) + " " +
                     root.path("/opt/corvane/certs/letsencrypt.pem"));
        EXPECT_EQ(download_update((base + c.file).c_str(), out.c_str()), c.result);
        EXPECT_EQ(root.read("/tmp/pkg.tar.gz"), c.content);
        EXPECT_THAT(root.log(), HasSubstr(c.logged));
    }
}
