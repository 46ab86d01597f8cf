// The fleet table (a part of mqtt_bridge): every robot of the site seen on
// the broker, from the status, state and reply messages of the site, for
// the daemon's "fleet" command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "protocol.hpp"
#include "robot_worker.hpp"

namespace tovlink::service {

class mqtt_fleet_table {
 public:
  // `site_topic` is tovlink/<site>; robots seen beyond `limit` are counted,
  // not listed.
  mqtt_fleet_table(std::string site_topic, std::size_t limit);

  // A message on tovlink/<site>/<robot>/<status|state|reply>, from the
  // fleet connection's network thread.
  void message(std::string_view topic, std::string_view payload);

  // {"robots":[...],"limit":N,"not_listed":N}
  json robots() const;

 private:
  struct entry {
    std::string status;
    json telemetry;  // the fields the fleet page shows, from the last state message
    steady_clock::time_point state_at{};
    json reply;         // a digest of the last reply
    std::string panel;  // its daemon's panel, when the state message named a sound one
  };

  std::string site_topic_;
  std::size_t limit_;
  mutable std::mutex mutex_;
  std::map<std::string, entry, std::less<>> fleet_;
  std::uint64_t ignored_ = 0;
};

}  // namespace tovlink::service
