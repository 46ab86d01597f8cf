// tovlinkd's MQTT bridge over TLS with a user name and password, as a site
// broker is run: mosquitto with a TLS listener on a loopback port, no
// anonymous clients, a password file.  The CA, the broker's certificate and
// the password file are made here, for this run only, with openssl and
// mosquitto_passwd.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "clients.hpp"
#include "mqtt_client.hpp"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using namespace tovlink::service::testing;

constexpr const char *user = "robots";
constexpr const char *password = "s3cret pass";

fs::path dir;
unsigned short port = 0;

// Runs a tool to its end; its output joins the test's failure message.
void run_tool(std::vector<std::string> args) {
  child_process tool(args);
  const int status = tool.wait(seconds{20});
  std::string output;
  for (const auto &line : tool.lines()) output += line + "\n";
  ASSERT_EQ(status, 0) << args[0] << " failed:\n" << output;
}

// A throwaway CA, and the broker's certificate from it for 127.0.0.1 and
// localhost (the bridge checks the name it connects to).
void make_certificates() {
  const auto ec = std::vector<std::string>{"-newkey", "ec", "-pkeyopt",
                                           "ec_paramgen_curve:prime256v1", "-nodes"};
  auto command = [&](std::vector<std::string> head, std::vector<std::string> tail) {
    head.insert(head.end(), ec.begin(), ec.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  for (const std::string name : {"ca", "other-ca"}) {
    run_tool(command(
        {OPENSSL_PATH, "req", "-x509"},
        {"-keyout", (dir / (name + ".key")).string(), "-out", (dir / (name + ".crt")).string(),
         "-days", "2", "-subj", "/CN=tovlinkd test " + name, "-addext",
         "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"}));
  }
  run_tool(command({OPENSSL_PATH, "req", "-new"},
                   {"-keyout", (dir / "server.key").string(), "-out", (dir / "server.csr").string(),
                    "-subj", "/CN=localhost"}));
  std::ofstream(dir / "server.ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
  run_tool({OPENSSL_PATH, "x509", "-req", "-in", (dir / "server.csr").string(), "-CA",
            (dir / "ca.crt").string(), "-CAkey", (dir / "ca.key").string(), "-set_serial", "1",
            "-days", "2", "-extfile", (dir / "server.ext").string(), "-out",
            (dir / "server.crt").string()});
}

std::string current_user() {
  const passwd *entry = ::getpwuid(::geteuid());
  return entry != nullptr ? entry->pw_name : "root";
}

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    mosquitto_lib_init();
    dir = fs::temp_directory_path() / ("tovlinkd-mqtt-tls-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    make_certificates();
    run_tool({MOSQUITTO_PASSWD_PATH, "-c", "-b", (dir / "passwd").string(), user, password});
    std::ofstream(dir / "good-password") << password << "\n";
    std::ofstream(dir / "wrong-password") << "not the password\n";
    port = free_port();
    // Run as root, mosquitto would drop to its own user, who cannot read
    // the keys made here; as anyone else the `user` line changes nothing.
    std::ofstream(dir / "mosquitto.conf")
        << "listener " << port << " 127.0.0.1\n"
        << "cafile " << (dir / "ca.crt").string() << "\n"
        << "certfile " << (dir / "server.crt").string() << "\n"
        << "keyfile " << (dir / "server.key").string() << "\n"
        << "allow_anonymous false\npassword_file " << (dir / "passwd").string() << "\n"
        << "persistence false\nuser " << current_user() << "\n";
  }
  void TearDown() override {
    fs::remove_all(dir);
    mosquitto_lib_cleanup();
  }
};

const auto *const environment = ::testing::AddGlobalTestEnvironment(new Environment);

std::unique_ptr<child_process> start_broker() {
  auto broker = std::make_unique<child_process>(
      std::vector<std::string>{MOSQUITTO_PATH, "-c", (dir / "mosquitto.conf").string()});
  for (int i = 0; i < 100 && !port_open(port); ++i) std::this_thread::sleep_for(milliseconds{50});
  return broker;
}

std::unique_ptr<site_client> tls_client(const std::string &site) {
  return std::make_unique<site_client>(
      port, site_client_options{site, (dir / "ca.crt").string(), user, password});
}

std::unique_ptr<child_process> start_daemon(const std::string &site, const std::string &cafile,
                                            const std::string &password_file) {
  return std::make_unique<child_process>(std::vector<std::string>{
      TOVLINKD_PATH, "--sim", "a", "--socket", (dir / (site + ".sock")).string(), "--mqtt",
      "127.0.0.1:" + std::to_string(port), "--site", site, "--mqtt-hz", "5", "--mqtt-cafile",
      (dir / cafile).string(), "--mqtt-user", user, "--mqtt-password-file",
      (dir / password_file).string()});
}

// The daemon's own view of its site.
json fleet_of(const std::string &site) {
  line_client daemon((dir / (site + ".sock")).string());
  if (!daemon.connected()) return nullptr;
  daemon.read_line();  // the version banner
  daemon.send_line(R"({"cmd":"fleet"})");
  return json::parse(daemon.read_line().value_or("null"), nullptr, false);
}

// Everything the process printed, for a failure's message.
std::string output_of(const child_process &process) {
  std::string text;
  for (const auto &line : process.lines()) text += line + '\n';
  return text;
}

std::size_t lines_with(const child_process &process, const std::string &text) {
  std::size_t count = 0;
  for (const auto &line : process.lines()) count += line.find(text) != std::string::npos;
  return count;
}

// The daemon starts before its broker, as at a machine's boot; then the
// broker dies without closing its TLS sessions and comes back.
TEST(MqttTls, CredentialsOverTlsCarryTheSiteThroughABrokerCrash) {
  auto daemon = start_daemon("lab", "ca.crt", "good-password");
  ASSERT_TRUE(daemon->wait_for_line("broker not reachable", milliseconds{5000}));
  auto broker = start_broker();
  auto client = tls_client("lab");
  ASSERT_TRUE(client->wait_status("a", "online")) << "robot a never came online over TLS";
  const auto state = client->wait_for("tovlink/lab/a/state", [](const message &) { return true; });
  ASSERT_TRUE(state);
  EXPECT_EQ(state->body()["class"], "telemetry");
  EXPECT_GT(state->body()["battery"].get<int>(), 0);
  EXPECT_EQ(state->body()["positions"].size(), 7u);
  // Commands come in through the daemon's subscriptions on that connection.
  ASSERT_TRUE(client->publish("tovlink/lab/a/cmd", R"({"cmd":"query","query":"who","id":"t1"})"));
  const auto reply = client->wait_for_reply("a", "t1");
  ASSERT_TRUE(reply) << "no reply over TLS";
  EXPECT_TRUE(reply->body()["ok"]) << reply->payload;

  // SIGKILL: the TLS sessions end without a close_notify.  The test's own
  // client is made anew; the daemon must come back by itself.
  ASSERT_EQ(::kill(broker->pid(), SIGKILL), 0);
  broker->wait(seconds{5});
  ASSERT_TRUE(daemon->wait_for_line("lost the broker", milliseconds{5000}));
  client.reset();
  broker = start_broker();
  client = tls_client("lab");
  ASSERT_TRUE(client->wait_status("a", "online")) << "the daemon did not reconnect over TLS";
  EXPECT_TRUE(client->wait_for("tovlink/lab/a/state", [](const message &) { return true; }));

  // A clean stop says offline itself.
  const auto from = client->count();
  EXPECT_EQ(daemon->stop(SIGTERM, seconds{10}), 0) << output_of(*daemon);
  EXPECT_TRUE(client->wait_status("a", "offline", from));
}

// A wrong password and a broker whose certificate is not trusted: each
// daemon says why in its log, keeps trying with back-off (at little cost),
// never shows its robot online, and goes on serving its own clients.
TEST(MqttTls, AWrongPasswordAndAnUntrustedBrokerAreReportedAndRetried) {
  auto broker = start_broker();
  auto client = tls_client("+");
  auto refused = start_daemon("wrong", "ca.crt", "wrong-password");
  auto untrusted = start_daemon("untrusted", "other-ca.crt", "good-password");
  EXPECT_TRUE(
      refused->wait_for_line("broker refused the connection (Not "
                             "authorized",
                             milliseconds{10000}));
  EXPECT_TRUE(untrusted->wait_for_line("certificate verify failed", milliseconds{10000}));

  const std::size_t refusals = lines_with(*broker, "not authorised");
  const std::size_t rejections = lines_with(*broker, "unknown ca");
  const double refused_cpu = cpu_seconds(refused->pid());
  const double untrusted_cpu = cpu_seconds(untrusted->pid());
  const auto window = seconds{4};
  const double cpu_limit = 0.25 * static_cast<double>(window.count());
  std::this_thread::sleep_for(window);
  // Both retried (the back-off starts at 1 s) ...
  EXPECT_GT(lines_with(*broker, "not authorised"), refusals) << "no retry after the refusal";
  EXPECT_GT(lines_with(*broker, "unknown ca"), rejections) << "no retry after the TLS failure";
  // ... without spinning while there was no connection: a small share of
  // one core, where a busy loop takes all of it.
  EXPECT_LT(cpu_seconds(refused->pid()) - refused_cpu, cpu_limit);
  EXPECT_LT(cpu_seconds(untrusted->pid()) - untrusted_cpu, cpu_limit);
  // Nothing of theirs reached the broker, where this client's own message
  // (sent last) did.
  ASSERT_TRUE(client->publish("tovlink/probe/x/status", "probe"));
  ASSERT_TRUE(client->wait_for("tovlink/probe/x/status", [](const message &) { return true; }));
  for (const auto &seen : client->messages()) {
    EXPECT_TRUE(seen.topic.rfind("tovlink/wrong/", 0) != 0 &&
                seen.topic.rfind("tovlink/untrusted/", 0) != 0)
        << seen.topic << " " << seen.payload;
  }
  for (const std::string site : {"wrong", "untrusted"}) {
    const json fleet = fleet_of(site);
    ASSERT_TRUE(fleet.value("ok", false)) << site << ": " << fleet;
    EXPECT_FALSE(fleet["result"]["connected"]) << site;
  }
  EXPECT_EQ(refused->stop(SIGTERM, seconds{10}), 0) << output_of(*refused);
  EXPECT_EQ(untrusted->stop(SIGTERM, seconds{10}), 0) << output_of(*untrusted);
}

}  // namespace
