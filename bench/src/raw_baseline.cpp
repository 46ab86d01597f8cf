#include "raw_baseline.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace tovlink::bench {
namespace {

constexpr char k_request[] = "#140\r";

class blocking_port {
 public:
  explicit blocking_port(const std::string &path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("raw baseline: cannot open " + path);
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
  }
  ~blocking_port() { close(fd_); }
  blocking_port(const blocking_port &) = delete;
  blocking_port &operator=(const blocking_port &) = delete;

  // Writes the request and reads until the reply's line feed.
  bool exchange() {
    if (write(fd_, k_request, std::strlen(k_request)) !=
        static_cast<ssize_t>(std::strlen(k_request)))
      return false;
    char reply[256];
    for (;;) {
      ssize_t n = read(fd_, reply, sizeof reply);
      if (n <= 0) return false;
      if (reply[n - 1] == '\n') return true;
    }
  }

 private:
  int fd_;
};

}  // namespace

summary measure_raw_exchanges(const std::string &port_path, std::size_t exchanges) {
  blocking_port port(port_path);
  std::vector<double> samples;
  samples.reserve(exchanges);
  for (std::size_t i = 0; i < exchanges; ++i) {
    auto start = bench_clock::now();
    if (!port.exchange()) throw std::runtime_error("raw baseline: the robot did not answer");
    samples.push_back(elapsed_ms(start));
  }
  return summarize(std::move(samples));
}

}  // namespace tovlink::bench
