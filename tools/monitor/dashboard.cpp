#include "tools/monitor/dashboard.h"

#include <cstdio>

#include "protocol/wire.h"

namespace vontrel::monitor {

namespace {

bool bit(std::uint8_t byte, std::uint8_t mask) {
  return (byte & mask) != 0;
}

std::string power_state(std::uint8_t status5) {
  switch (status5 & 0xF0) {
    case STATUS_POWER_OFF:
      return "off";
    case STATUS_POWER_ELECTRICS:
      return "electrics";
    case STATUS_POWER_RUNNING:
      return "running";
    case STATUS_POWER_ENGINE_ONLY:
      return "engine only";
    default:
      return "invalid";
  }
}

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
  char text[128];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

std::string lamp(bool on, const char* name) {
  if (on) {
    return name;
  }
  return std::string(std::char_traits<char>::length(name), '.');
}

}  // namespace

int from_bcd(std::uint8_t value) {
  return vontrel::from_bcd(value);
}

std::string hex_of(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char part[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(part, sizeof part, "%02X", bytes[i]);
    if (i > 0) {
      text += ' ';
    }
    text += part;
  }
  return text;
}

bool update_dashboard(Dashboard& d, const std::vector<std::uint8_t>& f) {
  if (f.size() < 11) {
    return false;
  }
  switch (f[2]) {
    case FRAME_ID_CLOCK:
      d.hours = from_bcd(f[3]);
      d.minutes = from_bcd(f[4]);
      d.day = from_bcd(f[5]);
      d.month = from_bcd(f[6]);
      d.year = from_bcd(f[8]);
      break;
    case FRAME_ID_STATUS:
      d.parking_brake = bit(f[3], STATUS_PARKING_BRAKE);
      d.parking_light = bit(f[3], STATUS_LIGHTS_PARKING & ~STATUS_LIGHTS_NONE);
      d.battery_warning = bit(f[5], STATUS_BATTERY_WARNING);
      d.power = power_state(f[5]);
      d.fuel_warning = bit(f[7], STATUS_FUEL_WARNING);
      d.fuel_level = f[8];
      d.electric_on = f[9] == STATUS_ELECTRICS_ON;
      d.cruise_control = f[10] == STATUS_CRUISE_CONTROL;
      break;
    case FRAME_ID_ENGINE:
      d.oil_warning = bit(f[4], ENGINE_OIL_PRESSURE);
      d.air_warning = bit(f[4], ENGINE_AIR_PRESSURE);
      d.electric_without_engine = bit(f[4], ENGINE_STOPPED);
      d.wear_warning = bit(f[5], ENGINE_WEAR);
      d.water_gauge = f[6];
      d.rpm_byte = f[9];
      break;
    case FRAME_ID_SPEED:
      d.speed_value = f[3] << 8 | f[4];
      break;
    case FRAME_ID_LIGHT:
      d.speed_high = f[3];
      d.high_beam = bit(f[4], LIGHT_HIGH_BEAM);
      d.light_parking = bit(f[4], LIGHT_PARKING);
      d.right_blinker = bit(f[5], LIGHT_RIGHT_BLINKER);
      d.left_blinker = bit(f[5], LIGHT_LEFT_BLINKER);
      break;
    case FRAME_ID_DEBUG:
      d.debug = f[3];
      break;
    default:
      break;
  }
  return true;
}

nlohmann::json frame_fields(const Dashboard& d, std::uint8_t id) {
  nlohmann::json fields = nlohmann::json::object();
  switch (id) {
    case FRAME_ID_CLOCK:
      fields = {{"hours", d.hours},
                {"minutes", d.minutes},
                {"day", d.day},
                {"month", d.month},
                {"year", d.year}};
      break;
    case FRAME_ID_STATUS:
      fields = {{"parking_brake", d.parking_brake},     {"parking_light", d.parking_light},
                {"battery_warning", d.battery_warning}, {"power", d.power},
                {"fuel_warning", d.fuel_warning},       {"fuel_level", d.fuel_level},
                {"electric_on", d.electric_on},         {"cruise_control", d.cruise_control}};
      break;
    case FRAME_ID_ENGINE:
      fields = {{"oil_warning", d.oil_warning},
                {"air_warning", d.air_warning},
                {"electric_without_engine", d.electric_without_engine},
                {"wear_warning", d.wear_warning},
                {"water_gauge", d.water_gauge},
                {"water_celsius", water_celsius(d)},
                {"rpm_byte", d.rpm_byte},
                {"rpm", engine_rpm(d)}};
      break;
    case FRAME_ID_SPEED:
      fields = {{"speed_value", d.speed_value}, {"kmh", speed_kmh(d)}};
      break;
    case FRAME_ID_LIGHT:
      fields = {{"speed_high", d.speed_high},
                {"high_beam", d.high_beam},
                {"parking_light", d.light_parking},
                {"left_blinker", d.left_blinker},
                {"right_blinker", d.right_blinker}};
      break;
    case FRAME_ID_DEBUG:
      fields = {{"debug", d.debug}};
      break;
    default:
      break;
  }
  return fields;
}

nlohmann::json apply_frame(Dashboard& d, const std::vector<std::uint8_t>& f) {
  return update_dashboard(d, f) ? frame_fields(d, f[2]) : nlohmann::json::object();
}

double speed_kmh(const Dashboard& d) {
  return d.speed_value / SPEED_SCALE;
}
double engine_rpm(const Dashboard& d) {
  return d.rpm_byte / RPM_SCALE;
}
double water_celsius(const Dashboard& d) {
  return (d.water_gauge - WATER_ORIGIN_GAUGE) / WATER_SCALE + WATER_ORIGIN_C;
}

namespace {
// What a cluster shows after a reset frame, and before its first cycle: nothing to read.
constexpr const char* CLEARED =
    "cleared (reset frame, or no cycle yet): needles at rest, lamps off, no clock";
}  // namespace

std::string dashboard_line(const Dashboard& d, const Counters& c) {
  std::string line = "cycle " + std::to_string(c.cycles) + "  ";
  if (d.cleared) {
    return line + CLEARED;
  }
  char clock[64];
  std::snprintf(clock, sizeof clock, "%02d:%02d %02d.%02d.%03d  ", d.hours, d.minutes, d.day,
                d.month, d.year);
  line += clock;
  line += format("%6.1f km/h  %5.0f rpm  water %5.1f C  ", speed_kmh(d), engine_rpm(d),
                 water_celsius(d));
  line += "fuel " + std::to_string(d.fuel_level) + "%  ";
  line += lamp(d.left_blinker, "<") + lamp(d.right_blinker, ">") + " " + lamp(d.high_beam, "HB") +
          " " + lamp(d.parking_light, "PL") + " " + lamp(d.parking_brake, "PB") + " " +
          lamp(d.oil_warning, "OIL") + " " + lamp(d.air_warning, "AIR") + " " +
          lamp(d.battery_warning, "BAT") + " " + lamp(d.fuel_warning, "FUEL") + " " +
          lamp(d.wear_warning, "WEAR") + " " + lamp(d.cruise_control, "CC") + "  ";
  line += d.power + "  debug " + std::to_string(d.debug);
  return line;
}

std::string dashboard_panel(const Dashboard& d, const Counters& c, const std::string& source) {
  const auto on = [](bool lit) { return lit ? "[x]" : "[ ]"; };
  char text[2048];
  if (d.cleared) {
    std::snprintf(text, sizeof text,
                  "Vontrel monitor  %s\n"
                  "--------------------------------------------------------------------------\n"
                  "  %s\n"
                  "--------------------------------------------------------------------------\n"
                  "  cycles %llu  resets %llu  unknown %llu  torn %llu\n",
                  source.c_str(), CLEARED, static_cast<unsigned long long>(c.cycles),
                  static_cast<unsigned long long>(c.resets),
                  static_cast<unsigned long long>(c.unknown),
                  static_cast<unsigned long long>(c.torn));
    return text;
  }
  std::snprintf(
      text, sizeof text,
      "Vontrel monitor  %s\n"
      "--------------------------------------------------------------------------\n"
      "  game time  %02d:%02d    date %02d.%02d. year %d\n"
      "  speed     %7.1f km/h  (value %d)\n"
      "  engine    %7.0f rpm   water %5.1f C (gauge %d)\n"
      "  fuel       %4d %%      power: %s\n"
      "\n"
      "  blinkers  %s left  %s right   high beam %s   parking light %s\n"
      "  brakes    parking brake %s   air pressure %s   cruise control %s\n"
      "  warnings  oil %s   battery %s   fuel %s   wear %s\n"
      "  debug %d\n"
      "--------------------------------------------------------------------------\n"
      "  cycles %llu (%.1f/s)  frames %llu  resets %llu  unknown %llu  torn %llu\n",
      source.c_str(), d.hours, d.minutes, d.day, d.month, d.year, speed_kmh(d), d.speed_value,
      engine_rpm(d), water_celsius(d), d.water_gauge, d.fuel_level, d.power.c_str(),
      on(d.left_blinker), on(d.right_blinker), on(d.high_beam), on(d.parking_light),
      on(d.parking_brake), on(d.air_warning), on(d.cruise_control), on(d.oil_warning),
      on(d.battery_warning), on(d.fuel_warning), on(d.wear_warning), d.debug,
      static_cast<unsigned long long>(c.cycles), c.cycles_per_second,
      static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.resets),
      static_cast<unsigned long long>(c.unknown), static_cast<unsigned long long>(c.torn));
  return text;
}

}  // namespace vontrel::monitor
