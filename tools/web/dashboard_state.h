// What the dashboard page shows, as the one JSON object GET /state returns and every event
// carries. Field names follow vontrel-cluster --json: speed_kmh, rpm, fuel_percent, water_c,
// lamps (by name), lcd; plus clock "HH:MM", date "DD.MM.YYYY", the source and its counts.
#ifndef VONTREL_TOOLS_WEB_DASHBOARD_STATE_H
#define VONTREL_TOOLS_WEB_DASHBOARD_STATE_H

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/decoder.h"

namespace vontrel::web {

struct DashboardState {
  std::string source;   // the port, the file, or the simulated firmware
  bool signal = false;  // a whole cycle arrived within the last second
  double speed_kmh = 0, rpm = 0, fuel_percent = 0, water_c = 0;
  std::uint32_t lamps = 0;  // Lamp bits
  std::string clock = "--:--";
  std::string date;
  std::optional<std::array<std::string, 2>> lcd;  // the simulated cluster's display
  std::uint64_t cycles = 0, torn = 0, unknown = 0, resets = 0;
  double cycles_per_second = 0;
};

nlohmann::json to_json(const DashboardState& state);

// `state` with the readings a cluster takes from the decoded frames.
nlohmann::json from_cluster_state(const ClusterState& cluster, DashboardState state);

}  // namespace vontrel::web

#endif  // VONTREL_TOOLS_WEB_DASHBOARD_STATE_H
