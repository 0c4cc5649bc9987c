#include "tools/monitor/describe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "can/bus_load.h"
#include "can/dbc.h"
#include "os/os.h"
#include "tools/monitor/monitor.h"

namespace vontrel::monitor {

namespace {

const char* send_type_name(can::SendType type) {
  return type == can::SendType::cyclic_and_on_change ? "cyclic_on_change" : "cyclic";
}

nlohmann::json as_json(const can::Profile& profile) {
  nlohmann::json messages = nlohmann::json::array();
  for (const can::Message& message : profile.messages) {
    nlohmann::json signals = nlohmann::json::array();
    for (const can::Signal& signal : message.signals) {
      signals.push_back(
          {{"name", signal.name},
           {"start_bit", signal.start_bit},
           {"length", signal.length},
           {"byte_order", signal.byte_order == can::ByteOrder::intel ? "intel" : "motorola"},
           {"signed", signal.is_signed},
           {"factor", signal.factor},
           {"offset", signal.offset},
           {"minimum", signal.minimum},
           {"maximum", signal.maximum},
           {"start_value", signal.start_value},
           {"source", signal.source},
           {"multiplexor", signal.multiplexor},
           {"page", signal.page >= 0 ? nlohmann::json(signal.page) : nlohmann::json(nullptr)}});
    }
    messages.push_back({{"name", message.name},
                        {"id", message.id},
                        {"extended", message.extended},
                        {"length", message.length},
                        {"cycle_ms", message.cycle_ms},
                        {"send_type", send_type_name(message.send_type)},
                        {"delay_ms", message.delay_ms},
                        {"fill", message.fill},
                        {"pages", message.pages},
                        {"signals", signals}});
  }
  nlohmann::json skipped = nlohmann::json::array();
  for (const can::Skipped& one : profile.skipped) {
    skipped.push_back({{"line", one.line}, {"name", one.name}, {"why", one.why}});
  }
  nlohmann::json problems = nlohmann::json::array();
  for (const can::Problem& problem : profile.problems) {
    problems.push_back({{"line", problem.line}, {"text", problem.text}});
  }
  return {{"messages", messages},
          {"skipped", skipped},
          {"problems", problems},
          {"problems_not_shown", profile.problems_not_kept},
          {"bitrate", profile.bitrate}};
}

void print_text(const can::Profile& profile, double share, std::uint32_t bitrate) {
  for (const can::Message& message : profile.messages) {
    // Everything the sender takes from the file, so a player sees what it will do.
    std::string how = "every " + std::to_string(message.cycle_ms) + " ms";
    if (message.send_type == can::SendType::cyclic_and_on_change) {
      how += ", and on a change";
      if (message.delay_ms > 0) {
        how += " at most every " + std::to_string(message.delay_ms) + " ms (GenMsgDelayTime)";
      }
    }
    std::printf("%s  0x%0*X%s  %u bytes  %s  fill 0x%02X\n", message.name.c_str(),
                message.extended ? 8 : 3, message.id, message.extended ? " (extended)" : "",
                message.length, how.c_str(), unsigned{message.fill});
    if (!message.pages.empty()) {
      std::string pages;
      for (const std::uint32_t page : message.pages) {
        pages += (pages.empty() ? "" : ", ") + std::to_string(page);
      }
      std::printf("  multiplexed: pages %s, one a send in turn (each every %zu ms)\n",
                  pages.c_str(), message.pages.size() * message.cycle_ms);
    }
    for (const can::Signal& signal : message.signals) {
      std::string mark = signal.multiplexor ? " M" : "";
      if (signal.page >= 0) {
        mark = " m" + std::to_string(signal.page);
      }
      std::string feeds = signal.source.empty() ? "(start value)" : signal.source;
      if (signal.multiplexor) {
        feeds = signal.source.empty() ? "(the page)" : "the page alone: " + signal.source;
      }
      std::printf("  %-28s%-4s %2u|%-2u %s%s  (%g,%g) [%g|%g]  start %g  %s\n", signal.name.c_str(),
                  mark.c_str(), signal.start_bit, signal.length,
                  signal.byte_order == can::ByteOrder::intel ? "intel" : "motorola",
                  signal.is_signed ? " signed" : "", signal.factor, signal.offset, signal.minimum,
                  signal.maximum, signal.start_value, feeds.c_str());
    }
  }
  for (const can::Skipped& one : profile.skipped) {
    std::printf("line %zu: message %s left out: %s\n", one.line, one.name.c_str(), one.why.c_str());
  }
  for (const can::Problem& problem : profile.problems) {
    std::printf("%s\n", can::describe(problem).c_str());
  }
  if (profile.problems_not_kept > 0) {
    std::printf("%zu more problems not shown\n", profile.problems_not_kept);
  }
  const bool overloaded = share > 1.0;
  if (!profile.messages.empty()) {
    std::printf("%s%s%s\n",
                overloaded                      ? "CAN output off, "
                : share > can::BUS_LOAD_WARNING ? "warning: "
                                                : "",
                can::bus_load_text(share, bitrate).c_str(),
                profile.bitrate != 0 ? " (the profile's Baudrate)"
                                     : " (no Baudrate in the profile: the plug-in's default)");
  }
  if (profile.problems.empty() && !profile.messages.empty() && !overloaded) {
    std::printf("%zu messages to send, %zu left out: no problem\n", profile.messages.size(),
                profile.skipped.size());
  }
}

}  // namespace

int describe_profile(const Options& options) {
  // Never opened when it is no file: a FIFO would wait for a writer, a device answer for ever.
  const char* instead = nullptr;
  switch (os::kind_of_file(options.dbc)) {
    case os::file_kind::directory:
      instead = "a folder";
      break;
    case os::file_kind::device:
      instead = "a device";
      break;
    case os::file_kind::other:
      instead = "a pipe";
      break;
    default:
      break;
  }
  if (instead != nullptr) {
    std::printf("CAN output off, the CAN profile is %s, not a file: %s\n", instead,
                options.dbc.c_str());
    return 1;
  }
  std::ifstream file(options.dbc, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "vontrel-monitor: cannot read %s: %s\n", options.dbc.c_str(),
                 std::strerror(errno));
    return exit_io;
  }
  // What the plug-in refuses, this refuses in its words: a file past the profile's size (read
  // no further, /dev/zero included) and one with nothing to send.
  std::string text;
  char buffer[4096];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    if (text.size() + static_cast<std::size_t>(file.gcount()) > can::MAX_PROFILE_BYTES) {
      std::printf("CAN output off, the CAN profile is larger than 4 MiB: %s\n",
                  options.dbc.c_str());
      return 1;
    }
    text.append(buffer, static_cast<std::size_t>(file.gcount()));
  }
  const can::Profile profile = can::read_dbc(text);
  const bool nothing = profile.problems.empty() && profile.messages.empty();
  // At the profile's own rate, or the plug-in's default where it gives none.
  const std::uint32_t bitrate = profile.bitrate != 0 ? profile.bitrate : 250000;
  can::BusLoad load;
  for (const can::Message& message : profile.messages) {
    load.add(message.extended, message.length, message.cycle_ms);
  }
  const double share = load.share(bitrate);
  const bool overloaded = share > 1.0;
  if (options.json) {
    nlohmann::json json = as_json(profile);
    json["bus_load"] = share;
    json["bus_load_bitrate"] = bitrate;
    if (nothing) {
      json["problems"].push_back({{"line", 0}, {"text", "the CAN profile has no message to send"}});
    }
    if (overloaded) {
      json["problems"].push_back({{"line", 0}, {"text", can::bus_load_text(share, bitrate)}});
    } else if (share > can::BUS_LOAD_WARNING) {
      json["warnings"] = {can::bus_load_text(share, bitrate)};
    }
    print_json(json);
  } else {
    print_text(profile, share, bitrate);
    if (nothing) {
      std::printf("CAN output off, the CAN profile has no message to send: %s\n",
                  options.dbc.c_str());
    }
  }
  return profile.problems.empty() && !nothing && !overloaded ? 0 : 1;
}

}  // namespace vontrel::monitor
