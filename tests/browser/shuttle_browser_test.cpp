// The bridge's real peer: headless Chromium loads a small test extension
// that talks to the built bridge over native messaging, while a fake desktop
// application sits on the bridge's sockets.

#include "shuttle_peer.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

using namespace std::chrono_literals;

namespace {

const char * const k_chromium = "/usr/lib/chromium/chromium";
// Fixed by the "key" in the extension's manifest.
const char * const k_extension_origin = "chrome-extension://phedgahdhoninkgplaihnpmagjgeondi/";
const char * const k_host_name = "lanternwick.shuttle";
const std::string k_marker = "lanternwick-browser-test:";

void write_host_manifest(const std::string & user_data_dir) {
    std::string dir = user_data_dir + "/NativeMessagingHosts";
    mkdir(dir.c_str(), 0700);
    std::ofstream(dir + "/" + k_host_name + ".json")
        << "{\"name\":\"" << k_host_name << "\",\"description\":\"lanternwick bridge under test\","
        << "\"path\":\"" << SHUTTLE_BINARY << "\",\"type\":\"stdio\","
        << "\"allowed_origins\":[\"" << k_extension_origin << "\"]}\n";
}

// The console lines of the extension that carry the marker, in order.
std::vector<std::string> extension_reports(const std::string & browser_stderr) {
    std::vector<std::string> reports;
    for (const auto & line : split_lines(browser_stderr)) {
        size_t at = line.find(k_marker);
        if (at != std::string::npos) {
            std::string report = line.substr(at + k_marker.size() + 1);
            reports.push_back(report.substr(0, report.find('"')));
        }
    }
    return reports;
}

bool has_verdict(const std::string & browser_stderr) {
    for (const auto & report : extension_reports(browser_stderr)) {
        if (report.rfind("PASS", 0) == 0 || report.rfind("FAIL", 0) == 0) {
            return true;
        }
    }
    return false;
}

// The browser's stderr collected while the test goes on, so the verdict and
// the diagnostics are at hand whatever happens.
void collect_stderr(child_process & browser, std::string & into, std::chrono::milliseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (browser.stderr_fd >= 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd wanted{browser.stderr_fd, POLLIN, 0};
        if (poll(&wanted, 1, 50) > 0) {
            char buffer[65536];
            ssize_t n = read(browser.stderr_fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(browser.stderr_fd);
                browser.stderr_fd = -1;
            } else {
                into.append(buffer, static_cast<size_t>(n));
            }
        }
    }
}

std::string tail_of(const std::string & text, size_t bytes = 6000) {
    return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

TEST(Browser, ExtensionTalksToTheDesktopAppThroughTheBridge) {
    ASSERT_EQ(0, access(k_chromium, X_OK)) << k_chromium << " cannot be run; scripts/setup.sh installs chromium";
    BridgePathsLock paths_lock;
    ASSERT_TRUE(wait_until_no_bridge_listens(10s)) << "a bridge of an earlier test is still running";
    remove_bridge_files();
    std::unique_ptr<FakeApp> app = start_fake_app();
    std::string user_data_dir = make_temp_dir("lanternwick-browser-");
    ASSERT_FALSE(user_data_dir.empty());
    write_host_manifest(user_data_dir);
    std::string extension_dir = std::string(TEST_SOURCE_DIR) + "/browser/extension";

    child_process browser = start_process({
        k_chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--user-data-dir=" + user_data_dir, "--disable-extensions-except=" + extension_dir,
        "--load-extension=" + extension_dir, "--enable-logging=stderr", "--v=0", "about:blank"});

    std::string browser_stderr;
    auto deadline = std::chrono::steady_clock::now() + 60s;
    bool delivered = false;
    while (!has_verdict(browser_stderr) && std::chrono::steady_clock::now() < deadline) {
        collect_stderr(browser, browser_stderr, 200ms);
        if (browser.stderr_fd < 0) {
            break;   // the browser has gone: no verdict can come any more
        }
        if (!delivered && wait_for_app_messages(*app, 3, 0ms)) {
            delivered = true;
            for (const char * text : {"{\"push\":1}", "not json, which the browser drops", "{\"push\":2}"}) {
                EXPECT_TRUE(push_text(text)) << "return socket refused a push";
            }
        }
    }

    std::vector<std::string> reports = extension_reports(browser_stderr);
    std::vector<std::string> received = app_messages(*app);
    // The browser ends the bridge once it goes; stopping the application
    // ends any bridge left over, so none outlives the test.
    kill(browser.pid, SIGTERM);
    stop_fake_app(*app);
    process_result ended = finish_process(browser, 20s);
    browser_stderr += ended.err;
    EXPECT_TRUE(wait_until_no_bridge_listens(10s)) << "a bridge outlived the browser and the application";
    std::string bridge_log = read_file(k_bridge_log);
    remove_bridge_files();
    std::string removal = "rm -rf '" + user_data_dir + "'";
    EXPECT_EQ(0, system(removal.c_str()));

    std::string context = "\n--- bridge log ---\n" + bridge_log + "--- browser stderr (tail) ---\n" +
                          tail_of(browser_stderr);
    ASSERT_FALSE(reports.empty()) << "the extension reported nothing within 60 s" << context;
    EXPECT_EQ("SENT 3", reports.front()) << context;
    EXPECT_EQ("PASS 3 acknowledgements, pushes [1,2]", reports.back()) << context;
    ASSERT_EQ(3u, received.size()) << context;
    EXPECT_EQ("{\"n\":1,\"text\":\"hello\"}", received[0]);
    EXPECT_EQ("{\"n\":2,\"text\":\"h\xC3\xA9llo \xE2\x98\x83 \xF0\x9F\x98\x80\"}", received[1]);
    EXPECT_EQ("{\"n\":3,\"text\":\"" + std::string(100000, 'x') + "\"}", received[2]);
    EXPECT_EQ(std::string::npos, browser_stderr.find("Sanitizer")) << context;
}

} // namespace
