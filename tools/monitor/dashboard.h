// What a person reads off the cluster, decoded from the frames of a cycle.
#ifndef VONTREL_TOOLS_MONITOR_DASHBOARD_H
#define VONTREL_TOOLS_MONITOR_DASHBOARD_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vontrel::monitor {

struct Dashboard {
  // clock frame
  int hours = 0, minutes = 0, day = 0, month = 0, year = 0;
  // status frame
  bool parking_brake = false, parking_light = false, battery_warning = false;
  bool fuel_warning = false, cruise_control = false, electric_on = false;
  std::string power = "off";  // off, electrics, running, engine only
  int fuel_level = 0;         // percent of the tank (wraps above 255)
  // engine frame
  bool oil_warning = false, air_warning = false, wear_warning = false;
  bool electric_without_engine = false;
  int water_gauge = 0;
  int rpm_byte = 0;
  // speed and light frames
  int speed_value = 0;
  int speed_high = 0;
  bool high_beam = false, left_blinker = false, right_blinker = false, light_parking = false;
  // debug frame
  int debug = 0;
  // Nothing since a reset frame (or since the start): the cluster shows no reading at all.
  bool cleared = true;
};

// Decodes one BCD byte as the plug-in packs it (tens up to 14, so 0xA0 is 100); -1 if invalid.
int from_bcd(std::uint8_t value);

// Folds one frame into the dashboard and returns its decoded fields.
nlohmann::json apply_frame(Dashboard& dashboard, const std::vector<std::uint8_t>& frame);
// The two halves of it: the frame into the dashboard (false for a frame too short, which
// changes nothing), without allocating; and the fields the frame set, as the dashboard holds
// them.
bool update_dashboard(Dashboard& dashboard, const std::vector<std::uint8_t>& frame);
nlohmann::json frame_fields(const Dashboard& dashboard, std::uint8_t id);

double speed_kmh(const Dashboard& dashboard);
double engine_rpm(const Dashboard& dashboard);
double water_celsius(const Dashboard& dashboard);

struct Counters {
  std::uint64_t cycles = 0, frames = 0, resets = 0, unknown = 0, torn = 0, bytes = 0;
  double cycles_per_second = 0.0;
};

// One line per cycle, for logs and pipes.
std::string dashboard_line(const Dashboard& dashboard, const Counters& counters);
// The panel redrawn in place on a terminal.
std::string dashboard_panel(const Dashboard& dashboard, const Counters& counters,
                            const std::string& source);

std::string hex_of(const std::vector<std::uint8_t>& bytes);

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_DASHBOARD_H
