// tovlinkd under attack from the network and from its own clients: who gets
// in while strangers hold connections open, which names the HTTP side
// answers to, strict HTTP, oversized and odd input, half-closed clients,
// running out of descriptors, and a start that fails.  One daemon (one
// virtual robot, a token holding '+' and '/', room for 8 clients of each
// kind) serves most cases; the others start daemons of their own.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "daemon_client.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tovlink::service::testing;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int max_clients = 8;
// What a base64 token looks like: '+' must stay a plus, '/' and '=' as they are.
const std::string token = "ab+c/d==";
const std::string token_in_url = "ab%2Bc%2Fd%3D%3D";

struct fixture_state {
  fs::path dir;
  std::string socket_path;
  unsigned short port = 0;
  std::unique_ptr<child_process> daemon;
};
fixture_state *fixture = nullptr;

unsigned short port_of(const std::string &listening_line) {
  return static_cast<unsigned short>(
      std::stoi(listening_line.substr(listening_line.rfind(':') + 1)));
}

std::string authority(unsigned short port) {
  return "127.0.0.1:" + std::to_string(port);
}

// A plain TCP connection to the daemon's HTTP port on loopback, or -1.
int tcp_connect(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the daemon has closed `fd` (end of stream or reset), without waiting.
bool closed_by_peer(int fd) {
  char byte = 0;
  const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

struct fd_set_guard {
  std::vector<int> fds;
  ~fd_set_guard() {
    for (const int fd : fds) ::close(fd);
  }
};

// Sends a request line as it is, and reads the line that answers it.
json ask_raw(line_client &client, const std::string &request) {
  EXPECT_TRUE(client.send_line(request));
  return parse_line(client.read_line());
}

std::unique_ptr<websocket_client> open_websocket(unsigned short port) {
  auto ws = std::make_unique<websocket_client>(port, "/ws?token=" + token_in_url, authority(port),
                                               "http://" + authority(port));
  return ws;
}

// A served WebSocket: upgraded, banner, and a reply to devices.
bool websocket_served(unsigned short port) {
  auto ws = open_websocket(port);
  if (ws->status() != 101) return false;
  if (parse_line(ws->read_message()).value("class", "") != "version") return false;
  ws->send_text(R"({"cmd":"devices","id":"w"})");
  return parse_line(ws->read_message()).value("ok", false);
}

bool unix_served(const std::string &path) {
  line_client client(path);
  if (!client.connected()) return false;
  if (parse_line(client.read_line()).value("class", "") != "version") return false;
  client.send_line(R"({"cmd":"devices"})");
  return parse_line(client.read_line()).value("ok", false);
}

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    fixture = new fixture_state;
    char pattern[] = "/tmp/tovlinkd-admission-XXXXXX";
    fixture->dir = ::mkdtemp(pattern);
    fixture->socket_path = (fixture->dir / "d.sock").string();
    std::ofstream(fixture->dir / "token") << token << "\n";
    fixture->daemon = std::make_unique<child_process>(std::vector<std::string>{
        TOVLINKD_PATH, "--sim", "a", "--socket", fixture->socket_path, "--listen", "127.0.0.1:0",
        "--token-file", (fixture->dir / "token").string(), "--max-clients",
        std::to_string(max_clients)});
    const auto listening = fixture->daemon->wait_for_line("listening on http://", seconds{10});
    ASSERT_TRUE(listening) << "the daemon did not start";
    fixture->port = port_of(*listening);
    ASSERT_TRUE(fixture->daemon->wait_for_line("robot a: ready", seconds{20}));
  }
  void TearDown() override {
    fixture->daemon.reset();
    std::error_code ignored;
    fs::remove_all(fixture->dir, ignored);
    delete fixture;
    fixture = nullptr;
  }
};

const auto *const environment = ::testing::AddGlobalTestEnvironment(new Environment);

// Hundreds of idle connections and drip-fed request heads, all from
// loopback: local clients and a WebSocket with the token still get in, and
// the daemon lets go of the strangers (pushed out, or out of time).
TEST(Admission, IdleAndDripFedConnectionsLockNobodyOut) {
  fd_set_guard idle;
  for (int i = 0; i < 400; ++i) {
    const int fd = tcp_connect(fixture->port);
    ASSERT_GE(fd, 0) << "connection " << i;
    idle.fds.push_back(fd);
  }
  fd_set_guard drip;
  for (int i = 0; i < 10; ++i) drip.fds.push_back(tcp_connect(fixture->port));
  const std::string head = "GET / HTTP/1.1\r\nHost: " + authority(fixture->port) + "\r\n";
  std::size_t dripped = 0;
  auto drip_once = [&] {
    for (const int fd : drip.fds) ::send(fd, head.data() + dripped % head.size(), 1, MSG_NOSIGNAL);
    ++dripped;
  };

  for (int round = 0; round < 3; ++round) {
    drip_once();
    EXPECT_TRUE(unix_served(fixture->socket_path)) << "round " << round;
    EXPECT_TRUE(websocket_served(fixture->port)) << "round " << round;
  }
  // The idle ones were pushed out as newer ones came; what is left goes
  // when its 5 s for a request head are over, drip-fed or not.
  const auto deadline = std::chrono::steady_clock::now() + seconds{9};
  auto all_closed = [](const std::vector<int> &fds) {
    return std::all_of(fds.begin(), fds.end(), [](int fd) { return closed_by_peer(fd); });
  };
  while (std::chrono::steady_clock::now() < deadline &&
         !(all_closed(idle.fds) && all_closed(drip.fds))) {
    drip_once();
    std::this_thread::sleep_for(milliseconds{300});
  }
  EXPECT_TRUE(all_closed(idle.fds)) << "idle connections still held";
  EXPECT_TRUE(all_closed(drip.fds)) << "drip-fed connections still held";
}

// Unix clients and WebSocket clients each have --max-clients places: a
// full Unix socket does not keep a WebSocket out, nor the other way round.
TEST(Admission, UnixAndWebSocketClientsHaveABudgetEach) {
  std::vector<std::unique_ptr<line_client>> locals;
  for (int i = 0; i < max_clients; ++i) {
    locals.push_back(std::make_unique<line_client>(fixture->socket_path));
    ASSERT_EQ(parse_line(locals.back()->read_line()).value("class", ""), "version") << i;
  }
  line_client refused(fixture->socket_path);
  EXPECT_EQ(parse_line(refused.read_line())["error"]["name"], "busy");

  std::vector<std::unique_ptr<websocket_client>> remotes;
  for (int i = 0; i < max_clients; ++i) {
    remotes.push_back(open_websocket(fixture->port));
    ASSERT_EQ(remotes.back()->status(), 101) << "WebSocket " << i << " with the Unix socket full";
    ASSERT_EQ(parse_line(remotes.back()->read_message()).value("class", ""), "version");
  }
  EXPECT_EQ(open_websocket(fixture->port)->status(), 503);

  locals.clear();
  std::this_thread::sleep_for(milliseconds{200});
  EXPECT_TRUE(unix_served(fixture->socket_path)) << "with every WebSocket place taken";
}

// shutdown(SHUT_WR) after the requests, as socat and nc -N do: every reply
// comes, then the daemon closes.
TEST(Admission, AHalfClosedClientGetsEveryReply) {
  line_client client = open_daemon_client(fixture->socket_path);
  ASSERT_TRUE(client.send_raw(R"({"cmd":"move","motor":2,"angle":70,"id":1})"
                              "\n"
                              R"({"cmd":"poll","id":2})"
                              "\n"
                              R"({"cmd":"query","query":"who","id":3})"));  // no line end
  ASSERT_EQ(::shutdown(client.fd(), SHUT_WR), 0);
  for (int id = 1; id <= 3; ++id) {
    const json reply = parse_line(client.read_line());
    EXPECT_EQ(reply["id"], id) << reply;
    EXPECT_EQ(reply["ok"], true) << reply;
  }
  EXPECT_TRUE(client.wait_closed(seconds{5}));
}

TEST(Admission, NulBytesAndOversizedMessagesGetTheirErrors) {
  line_client client = open_daemon_client(fixture->socket_path);
  const json nul = ask_raw(client, std::string{R"({"cmd":"devices","id":1})"} + '\0' + "garbage");
  EXPECT_EQ(nul["error"]["name"], "bad_request") << nul;
  EXPECT_EQ(ask_raw(client, R"({"cmd":"devices","id":2})")["ok"], true);

  auto ws = open_websocket(fixture->port);
  ASSERT_EQ(ws->status(), 101);
  ws->read_message();  // the banner
  ws->send_text(std::string{R"({"cmd":"devices"})"} + '\0');
  EXPECT_EQ(parse_line(ws->read_message())["error"]["name"], "bad_request");

  // Far over the limit: the documented reply, then a normal close, never
  // the whole message in memory.  The sender runs alone: the daemon stops
  // reading once it has seen enough.
  for (const std::size_t size : {std::size_t{1} << 20, std::size_t{16} << 20}) {
    auto big = open_websocket(fixture->port);
    ASSERT_EQ(big->status(), 101);
    big->read_message();
    std::thread sender([&big, size] { big->send_text(std::string(size, ' ')); });
    const json refused = parse_line(big->read_message(seconds{10}));
    EXPECT_EQ(refused["error"]["code"], 413) << size;
    EXPECT_TRUE(big->wait_closed(seconds{10})) << size;
    EXPECT_TRUE(big->close_received()) << size;
    ::shutdown(big->fd(), SHUT_RDWR);
    sender.join();
  }
}

TEST(Admission, StrictHttpAndFramingHeaders) {
  const std::string host = "Host: " + authority(fixture->port) + "\r\n";
  auto exchange = [](const std::string &request) {
    return http_exchange(fixture->port, request, seconds{5});
  };
  auto framing_refused = [](const tovlink::service::testing::http_response &response) {
    return response.head.find("X-Frame-Options: DENY") != std::string::npos &&
           response.head.find("Content-Security-Policy: default-src 'self'; ") !=
               std::string::npos &&
           response.head.find("; frame-ancestors 'none'") != std::string::npos;
  };
  const auto page = exchange("GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
  EXPECT_TRUE(page.status == 200 || page.status == 404);
  EXPECT_TRUE(framing_refused(page)) << page.head;
  const auto missing = exchange("GET /none HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
  EXPECT_EQ(missing.status, 404);
  EXPECT_TRUE(framing_refused(missing)) << missing.head;

  const auto coding =
      exchange("POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: xchunked\r\n\r\n0\r\n\r\n");
  EXPECT_EQ(coding.status, 501) << coding.head;
  const auto two_hosts = exchange("GET / HTTP/1.1\r\n" + host + host + "\r\n");
  EXPECT_EQ(two_hosts.status, 400) << two_hosts.head;
  EXPECT_TRUE(framing_refused(two_hosts));
  const auto no_host = exchange("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(no_host.status, 400) << no_host.head;
  const auto malformed = exchange("GET / HTTP/1.1\r\n" + host + "No colon here\r\n\r\n");
  EXPECT_EQ(malformed.status, 400) << malformed.head;
  const auto garbage = exchange(std::string{"\x16\x03\x01 binary\r\n\r\n"});
  EXPECT_EQ(garbage.status, 400) << garbage.head;
  const auto rebound =
      exchange("GET / HTTP/1.1\r\nHost: attacker.example\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(rebound.status, 421);
  EXPECT_TRUE(framing_refused(rebound));
}

TEST(Admission, TokensAreComparedAsSentAndMadeOnRequest) {
  auto status = [](const std::string &target) {
    return websocket_client(fixture->port, target, authority(fixture->port),
                            "http://" + authority(fixture->port))
        .status();
  };
  EXPECT_EQ(status("/ws?token=" + token), 101);  // '+' is a plus
  EXPECT_EQ(status("/ws?token=" + token_in_url), 101);
  EXPECT_EQ(status("/ws?token=ab%20c/d=="), 401);
  EXPECT_EQ(status("/ws?token=ab%2bc%2fd%3d%3d"), 101);

  // --create-token: a fresh token file, mode 0600, that the daemon then asks for.
  const fs::path made = fixture->dir / "made-token";
  child_process daemon({TOVLINKD_PATH, "--sim", "m", "--socket", (fixture->dir / "m.sock").string(),
                        "--listen", "127.0.0.1:0", "--token-file", made.string(),
                        "--create-token"});
  const auto listening = daemon.wait_for_line("listening on http://", seconds{10});
  ASSERT_TRUE(listening);
  struct stat info {};
  ASSERT_EQ(::stat(made.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600U);
  std::string made_token;
  std::getline(std::ifstream(made), made_token);
  EXPECT_TRUE(std::regex_match(made_token, std::regex{"[0-9a-f]{64}"})) << made_token;
  const unsigned short port = port_of(*listening);
  const std::string own = "http://" + authority(port);
  EXPECT_EQ(websocket_client(port, "/ws?token=" + made_token, authority(port), own).status(), 101);
  EXPECT_EQ(websocket_client(port, "/ws?token=x", authority(port), own).status(), 401);
  EXPECT_EQ(daemon.stop(SIGTERM, seconds{10}), 0);
}

// The first IPv4 address of a network interface that is not loopback.
std::optional<std::string> lan_address() {
  ifaddrs *list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::optional<std::string> found;
  for (const ifaddrs *entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto *in4 = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
    if (ntohl(in4->sin_addr.s_addr) >> 24 == 127) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &in4->sin_addr, text, sizeof(text));
    found = text;
  }
  ::freeifaddrs(list);
  return found;
}

// The documented LAN setup: a wildcard address with a token answers to the
// machine's own names and addresses and to --allowed-host; other names
// (DNS rebinding) are still refused, and so is any other Origin.
TEST(Admission, AWildcardAddressWithATokenAnswersToTheMachinesNames) {
  child_process daemon({TOVLINKD_PATH, "--sim", "w", "--socket", (fixture->dir / "w.sock").string(),
                        "--listen", "0.0.0.0:0", "--token-file", (fixture->dir / "token").string(),
                        "--allowed-host", "Robots.Example"});
  const auto listening = daemon.wait_for_line("listening on http://", seconds{10});
  ASSERT_TRUE(listening);
  const unsigned short port = port_of(*listening);
  const std::string suffix = ":" + std::to_string(port);
  auto page = [port](const std::string &host) {
    return http_exchange(port, "GET / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n")
        .status;
  };
  auto upgrade = [port](const std::string &host, const std::string &origin) {
    return websocket_client(port, "/ws?token=" + token_in_url, host, origin).status();
  };
  char name[256] = {};
  ASSERT_EQ(::gethostname(name, sizeof(name) - 1), 0);
  std::vector<std::string> accepted = {std::string{name} + suffix, "localhost" + suffix,
                                       "127.0.0.1" + suffix, "robots.example" + suffix};
  if (const auto address = lan_address()) accepted.push_back(*address + suffix);
  for (const auto &host : accepted) {
    EXPECT_NE(page(host), 421) << host;
    EXPECT_EQ(upgrade(host, "http://" + host), 101) << host;
  }
  EXPECT_EQ(page("evil.example" + suffix), 421);
  EXPECT_EQ(page("0.0.0.0" + suffix), 421);
  EXPECT_EQ(page(std::string{name} + ":1"), 421);
  EXPECT_EQ(upgrade(std::string{name} + suffix, "http://evil.example" + suffix), 403);
  EXPECT_EQ(daemon.stop(SIGTERM, seconds{10}), 0);

  // Without a token only loopback names: the machine's name is refused,
  // and --allowed-host is refused at start.
  const auto port_main = std::to_string(fixture->port);
  EXPECT_EQ(http_exchange(fixture->port, "GET / HTTP/1.1\r\nHost: " + std::string{name} + ":" +
                                             port_main + "\r\nConnection: close\r\n\r\n")
                .status,
            421)
      << "a loopback listen took the machine's name";
  child_process no_token({TOVLINKD_PATH, "--sim", "n", "--socket",
                          (fixture->dir / "n.sock").string(), "--listen", "127.0.0.1:0",
                          "--allowed-host", "robots.example"});
  EXPECT_EQ(no_token.wait(seconds{10}), 2);
}

// A start that fails half-way (the HTTP port is taken) leaves no socket file.
TEST(Admission, AFailedStartLeavesNothingBehind) {
  const fs::path socket = fixture->dir / "taken.sock";
  child_process daemon({TOVLINKD_PATH, "--sim", "f", "--socket", socket.string(), "--listen",
                        authority(fixture->port)});
  EXPECT_EQ(daemon.wait(seconds{10}), 1);
  EXPECT_TRUE(daemon.wait_for_line("cannot listen on", seconds{2}));
  EXPECT_FALSE(fs::exists(socket));
}

// With few descriptors (prlimit), clients past the limit wait in the
// kernel's queue: the daemon says so once, does not spin on the accept, and
// takes them when descriptors come free.
TEST(Admission, RunningOutOfDescriptorsIsSurvived) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' runtimes need descriptors of their own (UBSan checks a
  // pointer by writing through a pipe it opens): out of descriptors, they
  // report errors that are not there and end the daemon.
  GTEST_SKIP() << "not under a sanitizer: its runtime needs descriptors too";
#endif
  const fs::path socket = fixture->dir / "few.sock";
  child_process daemon({"/usr/bin/prlimit", "--nofile=40:40", TOVLINKD_PATH, "--sim", "r",
                        "--socket", socket.string(), "--max-clients", "100"});
  ASSERT_TRUE(daemon.wait_for_line("listening on", seconds{10}));
  ASSERT_TRUE(daemon.wait_for_line("robot r: ready", seconds{20}));
  std::vector<std::unique_ptr<line_client>> crowd;
  for (int i = 0; i < 60; ++i) crowd.push_back(std::make_unique<line_client>(socket.string()));
  EXPECT_TRUE(daemon.wait_for_line("out of file descriptors", seconds{5}));
  const double before = cpu_seconds(daemon.pid());
  std::this_thread::sleep_for(seconds{2});
  EXPECT_LT(cpu_seconds(daemon.pid()) - before, 0.5) << "the daemon spun while out of descriptors";

  crowd.clear();
  EXPECT_TRUE(daemon.wait_for_line("accepting connections again", seconds{5}));
  EXPECT_TRUE(unix_served(socket.string()));
  EXPECT_EQ(daemon.stop(SIGTERM, seconds{10}), 0);
}

// Not under journald, each line starts with its time (UTC) and its level.
TEST(Admission, LogLinesCarryTimeAndLevel) {
  const auto line = fixture->daemon->wait_for_line("listening on http://", seconds{1});
  ASSERT_TRUE(line);
  EXPECT_TRUE(std::regex_search(
      *line, std::regex{R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z info tovlinkd: listening)"}))
      << *line;
  child_process bad(
      {TOVLINKD_PATH, "--sim", "bad name", "--socket", (fixture->dir / "b.sock").string()});
  EXPECT_EQ(bad.wait(seconds{10}), 2);
  EXPECT_TRUE(bad.wait_for_line("Z error tovlinkd: --sim: robot name", seconds{2}));
}

}  // namespace
