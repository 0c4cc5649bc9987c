#include "tools/web/dashboard_state.h"

#include <cstdio>

namespace vontrel::web {

nlohmann::json to_json(const DashboardState& state) {
  nlohmann::json lamps = nlohmann::json::object();
  for (std::uint8_t i = 0; i < LAMP_COUNT; ++i) {
    lamps[LAMP_NAMES[i]] = (state.lamps >> i & 1u) != 0;
  }
  nlohmann::json object = {{"source", state.source},
                           {"signal", state.signal},
                           {"speed_kmh", state.speed_kmh},
                           {"rpm", state.rpm},
                           {"fuel_percent", state.fuel_percent},
                           {"water_c", state.water_c},
                           {"lamps", lamps},
                           {"clock", state.clock},
                           {"date", state.date},
                           {"cycles", state.cycles},
                           {"cycles_per_second", state.cycles_per_second},
                           {"torn", state.torn},
                           {"unknown", state.unknown},
                           {"resets", state.resets}};
  if (state.lcd) {
    object["lcd"] = {(*state.lcd)[0], (*state.lcd)[1]};
  }
  return object;
}

nlohmann::json from_cluster_state(const ClusterState& cluster, DashboardState state) {
  state.speed_kmh = speed_kmh_tenths(cluster.speed_value) / 10.0;
  state.rpm = engine_rpm(cluster.rpm_byte);
  state.fuel_percent = cluster.fuel_percent;
  state.water_c = water_celsius(cluster.water_gauge);
  state.lamps = cluster.lamps;
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u", unsigned{cluster.hours}, unsigned{cluster.minutes});
  state.clock = text;
  std::snprintf(text, sizeof text, "%02u.%02u.%04u", unsigned{cluster.day}, unsigned{cluster.month},
                unsigned{cluster.year});
  state.date = text;
  return to_json(state);
}

}  // namespace vontrel::web
