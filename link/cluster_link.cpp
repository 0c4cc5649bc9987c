#include "link/cluster_link.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "dashboard/frame_cycle.h"
#include "dashboard/frame_format.h"
#include "link/reconnect.h"
#include "serial/port_identity.h"

namespace vontrel {

namespace {

// The host's log from the frame path: "<what>: <name>", an error when `bad`, built in place
// with no allocation.
void tell(const LinkLog& log, bool bad, const char* what, const char* name) noexcept {
  char line[512];
  std::snprintf(line, sizeof line, "%s: %s", what, name);
  log(bad ? LogKind::error : LogKind::message, line);
}

void report(const SerialLane& lane, const LinkLog& log, LinkEvent event) noexcept {
  const bool lost = event == LinkEvent::lost;
  tell(log, lost, lost ? "Serial port lost, reconnecting" : "Serial port reconnected",
       lane.port_name.c_str());
}

// Frames of `frame_length` bytes, each one write and one flush, all within one LINK_WAIT_MS.
// A failed write does not stop the rest; a time-out does: the cluster stopped taking data.
// The rest of that frame is lost, and the next frame's FF 04 puts the cluster back in step.
os::io_status write_frames(SerialPort& port, const std::uint8_t* data, std::uint32_t frame_length,
                           std::size_t frames) noexcept {
  const os::deadline until = os::deadline_after(LINK_WAIT_MS);
  os::io_status result = os::io_status::done;
  for (std::size_t i = 0; i < frames && result != os::io_status::timed_out; ++i) {
    const os::io_status status = port.write(data + i * frame_length, frame_length, until);
    if (status != os::io_status::done) {
      result = status;
    }
  }
  return result;
}

// After a time-out nothing goes out until the port can take data again.
void note_stall(SerialLane& lane, os::io_status sent, std::uint32_t now) noexcept {
  if (sent == os::io_status::timed_out) {
    lane.stalled = true;
    lane.retry_tick = now;
  }
}

void report_udp(const ClusterLink& link, const LinkLog& log, UdpEvent event) noexcept {
  const bool failing = event == UdpEvent::failing;
  tell(log, failing, failing ? "UDP send failing, still trying" : "UDP send works again",
       link.udp.target().c_str());
}

// The synchronous link before a cycle: a lost port is reopened (reconnecting only), a stalled
// one waited out without waiting. True when a due cycle may be written. `may_look`: whether
// this frame-end still may look for a lost port; one look a frame-end, so that many boards
// missing at once (each a read of the system's device records) spread their looks over the
// frames instead of holding one frame-end for all of them.
bool synchronous_ready(SerialLane& lane, const LinkLog& log, std::uint32_t now,
                       bool& may_look) noexcept {
  SerialPort& port = *lane.port;
  if (!port.is_open()) {
    if (lane.lost && may_look && now - lane.retry_tick >= REOPEN_INTERVAL_MS) {
      may_look = false;
      lane.retry_tick = now;
      const bool hold = lane.startup_delay_ms > 0;
      if (reopen_port(port, lane.port_name, os::deadline_after(LINK_WAIT_MS), hold, lane.avoid)) {
        lane.lost = false;
        lane.stalled = false;
        // A re-plugged board restarts its bootloader as at start-up: the same delay.
        lane.holding = hold;
        lane.opened_tick = now;
        report(lane, log, LinkEvent::back);
      }
    }
    return false;
  }
  if (lane.stalled) {
    if (now - lane.retry_tick < STALL_RETRY_MS) {
      return false;
    }
    const os::io_status ready = port.output_ready();
    if (ready == os::io_status::timed_out ||
        (ready == os::io_status::failed && lane.mode != LinkMode::reconnecting)) {
      return false;
    }
    lane.stalled = false;  // a gone port is found by the cycle's writes below
  }
  return true;
}

// The encoded cycle on the host's thread.
void synchronous_send(SerialLane& lane, const std::uint8_t* cycle, const LinkLog& log,
                      std::uint32_t now) noexcept {
  const os::io_status sent = write_frames(*lane.port, cycle, FRAME_LENGTH, FRAMES_PER_CYCLE);
  note_stall(lane, sent, now);
  if (sent == os::io_status::failed && lane.mode == LinkMode::reconnecting) {
    lane.port->close();
    lane.lost = true;
    lane.retry_tick = now;
    report(lane, log, LinkEvent::lost);
  }
}

// The reset frame that clears the cluster, by whichever side writes.
void send_serial_reset(SerialLane& lane, std::uint32_t now) noexcept {
  if (lane.mode == LinkMode::background) {
    lane.writer.submit_reset();
  } else {
    note_stall(lane, write_frames(*lane.port, RESET_FRAME, RESET_FRAME_LENGTH, 1), now);
  }
}

// One port's side of a frame-end: true when a cycle is to be written to it now.
bool serial_ready(SerialLane& lane, const LinkLog& log, std::uint32_t now,
                  bool& may_look) noexcept {
  if (lane.holding) {
    if (now - lane.opened_tick >= lane.startup_delay_ms) {
      // The board is past its bootloader: clear it, and the next frame-end sends a cycle.
      lane.holding = false;
      send_serial_reset(lane, now);
    }
    return false;
  }
  if (lane.mode != LinkMode::background) {
    return synchronous_ready(lane, log, now, may_look);
  }
  for (LinkEvent event = lane.writer.take_event(); event != LinkEvent::none;
       event = lane.writer.take_event()) {
    report(lane, log, event);
  }
  return true;
}

void report_can(ClusterLink& link, const LinkLog& log, CanEvent event) noexcept {
  const char* port = link.can.port_name().c_str();
  char line[512];
  if (event == CanEvent::back) {
    std::snprintf(line, sizeof line, "CAN adapter connected: %s", port);
    log(LogKind::message, line);
    return;
  }
  // Why, where the port said ("Can not open COM port: no such port", "...: held by another
  // program"). An adapter that stopped taking our lines says nothing.
  std::string why;
  try {
    why = link.can.why_lost();
  } catch (...) {
    why.clear();
  }
  std::snprintf(line, sizeof line,
                why.empty() ? "CAN adapter lost, reconnecting: %s%s"
                            : "CAN adapter lost, reconnecting: %s (%s)",
                port, why.c_str());
  log(LogKind::error, line);
}

// What the adapter told of itself, once each, in the player's words.
void report_can_news(ClusterLink& link, const LinkLog& log) noexcept {
  CanNews news{};
  std::string detail;
  const char* port = link.can.port_name().c_str();
  char line[512];
  for (;;) {
    try {
      if (!link.can.take_news(news, detail)) {
        return;
      }
    } catch (...) {
      return;
    }
    LogKind type = LogKind::error;
    switch (news) {
      case CanNews::refused_bitrate:
        std::snprintf(line, sizeof line, "CAN adapter %s refused the bit rate command: %s", port,
                      detail.c_str());
        break;
      case CanNews::refused_open:
        std::snprintf(line, sizeof line, "CAN adapter %s refused to open its channel: %s", port,
                      detail.c_str());
        break;
      case CanNews::version:
        type = LogKind::message;
        std::snprintf(line, sizeof line, "CAN adapter %s: %s", port, detail.c_str());
        break;
      case CanNews::foreign:
        std::snprintf(line, sizeof line, "CAN port %s answers, but not as a CAN adapter", port);
        break;
      case CanNews::silent:
        type = LogKind::message;
        std::snprintf(line, sizeof line, "CAN port %s answers nothing: frames are sent blind",
                      port);
        break;
      case CanNews::unacknowledged:
        std::snprintf(line, sizeof line,
                      "nothing on the CAN bus acknowledges our frames: is the cluster powered, "
                      "and are CAN-H and CAN-L the right way round?");
        break;
      case CanNews::acknowledged:
        type = LogKind::message;
        std::snprintf(line, sizeof line, "CAN frames are acknowledged again on: %s", port);
        break;
      case CanNews::answers_missing:
        std::snprintf(line, sizeof line,
                      "CAN adapter %s loses answers to our frames (%s so far): frames go on "
                      "without them",
                      port, detail.c_str());
        break;
      case CanNews::answers_back:
        type = LogKind::message;
        std::snprintf(line, sizeof line,
                      "CAN adapter %s answers every frame again (%s answers went missing)", port,
                      detail.c_str());
        break;
    }
    log(type, line);
  }
}

void start_can(CanOutput& can, const LinkLog& log, const LinkSettings& settings) {
  can.close();
  if (!settings.can) {
    return;
  }
  if (can.open(settings.can_settings)) {
    const CanSettings& chosen = settings.can_settings;
    std::string line = chosen.profile.empty() ? std::string("Sending J1939")
                                              : "Sending the CAN profile " + chosen.profile;
    line.append(" to the CAN adapter on: ")
        .append(chosen.port)
        .append(" at ")
        .append(std::to_string(chosen.bitrate))
        .append(" bit/s");
    log(LogKind::message, line.c_str());
  } else {
    log(LogKind::error, "CAN output off: no thread for it");
  }
}

void start_udp(UdpOutput& udp, const LinkLog& log, const std::string& target) {
  udp.close();
  if (target == UDP_OFF) {
    return;
  }
  std::string error;
  if (udp.open(target, error)) {
    log(LogKind::message, ("Sending UDP to: " + target).c_str());
  } else {
    log(LogKind::error, error.c_str());
  }
}

}  // namespace

bool is_no_port(std::string_view port_name) noexcept {
  constexpr std::string_view none = "none";
  if (port_name.size() != none.size()) {
    return false;
  }
  for (std::size_t i = 0; i < none.size(); ++i) {
    if ((port_name[i] | 0x20) != none[i]) {
      return false;
    }
  }
  return true;
}

namespace {

// One port of the list: found, opened and cleared. False with the port's error text when it
// is not to be used at all. `keep_looking`: a port that cannot be opened now is looked for
// once a second instead (reconnect, with more ports than one).
bool start_lane(SerialLane& lane, const LinkLog& log, const LinkSettings& settings,
                bool keep_looking, std::uint32_t now, std::string& error) {
  SerialPort& port = *lane.port;
  lane.mode = LinkMode::plain;
  lane.lost = false;
  lane.stalled = false;
  lane.holding = settings.startup_delay_ms > 0;
  lane.opened_tick = now;
  lane.startup_delay_ms = settings.startup_delay_ms;
  // A port named by its USB identity is looked up in the system's records; only the one it
  // names is ever opened.
  std::string device;
  std::string found;
  if (!find_port(lane.port_name, device, found, lane.avoid)) {
    lane.holding = false;
    if (!settings.reconnect) {
      error = found;
      return false;
    }
    // The board may be plugged in later: looked for once a second, as a lost port is.
    log(LogKind::error, found.c_str());
    lane.lost = true;
    lane.retry_tick = now;
  } else {
    if (!found.empty()) {
      log(LogKind::message, found.c_str());
    }
    if (!port.open(device.c_str(), error)) {
      lane.holding = false;
      if (!keep_looking) {
        return false;
      }
      tell(log, true, error.c_str(), lane.port_name.c_str());
      error.clear();
      lane.lost = true;
      lane.retry_tick = now;
    }
  }
  if (settings.background_writes && lane.writer.start(port, lane.port_name, settings.reconnect,
                                                      settings.startup_delay_ms, lane.avoid)) {
    lane.mode = LinkMode::background;
  } else {
    // No writer (not asked for, or no thread to be had): the host's thread writes, bounded.
    lane.mode = settings.reconnect ? LinkMode::reconnecting : LinkMode::plain;
  }
  if (!lane.holding && !lane.lost) {
    send_serial_reset(lane, now);
  }
  return true;
}

// Stops every writer and closes the link's own ports: what an earlier start-up left.
void drop_lanes(ClusterLink& link) noexcept {
  for (const auto& lane : link.lanes) {
    lane->writer.stop(0);
  }
  link.lanes.clear();
}

// The cycle as this port gets it: the link's, or a copy with the port's own debug flag.
const std::uint8_t* lane_cycle(SerialLane& lane, const ClusterLink& link) noexcept {
  if (!lane.debug_mode) {
    return link.frame_buffer.data();
  }
  std::copy_n(link.frame_buffer.begin(), CYCLE_LENGTH, lane.own_cycle.begin());
  set_cycle_debug_mode(lane.own_cycle.data(), *lane.debug_mode);
  return lane.own_cycle.data();
}

}  // namespace

std::vector<std::string> port_list(const std::string& value) {
  std::vector<std::string> names;
  std::size_t begin = 0;
  while (begin <= value.size()) {
    const std::size_t comma = std::min(value.find(',', begin), value.size());
    if (comma > begin) {
      names.push_back(value.substr(begin, comma - begin));
    }
    begin = comma + 1;
  }
  return names;
}

void read_port_settings(const Settings& settings, std::size_t ports, LinkSettings& link,
                        std::vector<std::string>& complaints) {
  // A list written with spaces ("A, B", as people write lists) ends at its comma: a str value
  // is one word and the rest of the line a comment, which players' files rely on. Said, so a
  // second cluster is not left dark without a word.
  for (const char* key : {"comport", "can_port"}) {
    const std::string value = settings.get_string(key, "");  // a copy: "" dies with the call
    const std::string& comment = settings.get_string_comment(key);
    if (!value.empty() && value.back() == ',' && !comment.empty()) {
      std::string complaint = key;
      complaint.append(" str ").append(value).append(" ").append(comment);
      complaint.append(": the list ends at the comma, \"").append(comment);
      complaint.append("\" is read as a comment; write it without spaces: ");
      complaint.append(value).append(comment);
      complaints.push_back(std::move(complaint));
    }
  }
  link.debug_modes.assign(ports, std::nullopt);
  constexpr std::string_view prefix = "debug_mode.";
  for (const auto& [key, type] : settings.keys_with_prefix(prefix)) {
    const std::string_view place(key.data() + prefix.size(), key.size() - prefix.size());
    std::size_t number = 0;
    const auto [end, problem] = std::from_chars(place.data(), place.data() + place.size(), number);
    if (problem != std::errc() || end != place.data() + place.size() || place[0] == '0' ||
        number == 0 || number > ports) {
      std::string complaint = "Unknown setting, ignored: " + key;
      complaint.append(" (comport lists ")
          .append(std::to_string(ports))
          .append(ports == 1 ? " port)" : " ports)");
      complaints.push_back(std::move(complaint));
    } else if (type != "bool") {
      std::string complaint = "Setting " + key;
      complaint.append(" is bool, not ").append(type).append(": ignored");
      complaints.push_back(std::move(complaint));
    } else {
      link.debug_modes[number - 1] = settings.get_bool(key, true);
    }
  }
}

bool start_link(ClusterLink& link, SerialPort& port, const LinkLog& log,
                const std::string& port_name, const LinkSettings& settings, std::uint32_t now,
                std::string& error) {
  // A writer left by an earlier start-up owns the port: stop it, so that the port is judged
  // here as on the plain link ("already open" closes it) and nothing reopens it behind us.
  drop_lanes(link);
  link.serial = !is_no_port(port_name);
  link.udp.close();
  // An earlier start-up's sender goes whatever happens here: a start-up that fails leaves no
  // thread of ours running.
  link.can.close();
  if (link.serial) {
    std::vector<std::string> names = port_list(port_name);
    if (names.empty()) {
      names.push_back(port_name);  // commas alone: a name the system will refuse, as before
    }
    const bool several = names.size() > 1;
    std::string why;
    for (std::size_t i = 0; i < names.size(); ++i) {
      auto lane = std::make_unique<SerialLane>();
      if (i == 0) {
        lane->port = &port;
      } else {
        lane->owned_port = std::make_unique<SerialPort>();
        lane->port = lane->owned_port.get();
      }
      lane->port_name = names[i];
      lane->avoid = settings.can ? settings.can_settings.port : std::string();
      if (i < settings.debug_modes.size()) {
        lane->debug_mode = settings.debug_modes[i];
      }
      if (several && !names_identity(names[i])) {
        tell(log, false, "Using serial port", names[i].c_str());
      }
      if (start_lane(*lane, log, settings, several && settings.reconnect, now, why)) {
        link.lanes.push_back(std::move(lane));
      } else if (several) {
        // Named, unless the line names it already ("No serial port matches usb:...").
        if (why.find(names[i]) == std::string::npos) {
          tell(log, true, why.c_str(), names[i].c_str());
        } else {
          log(LogKind::error, why.c_str());
        }
      } else {
        error = why;
      }
    }
    if (link.lanes.empty()) {
      if (several) {
        error = "None of the serial ports opened: " + port_name;
      }
      return false;
    }
  } else {
    port.close();  // an earlier start-up's
  }
  start_udp(link.udp, log, settings.udp_target);
  link.udp.submit_reset();
  start_can(link.can, log, settings);
  return true;
}

void abandon_link(ClusterLink& link) noexcept {
  for (const auto& lane : link.lanes) {
    lane->writer.stop(SHUTDOWN_DRAIN_MS);
    lane->mode = LinkMode::plain;
  }
  link.udp.close();
  link.can.close();
}

void link_frame_end(ClusterLink& link, SerialPort& /*port*/, const LinkLog& log,
                    const TelemetryState& state, const Settings& settings,
                    std::uint32_t now) noexcept {
  if (link.can.active()) {
    link.can.submit(state);
    for (CanEvent event = link.can.take_event(); event != CanEvent::none;
         event = link.can.take_event()) {
      report_can(link, log, event);
    }
    report_can_news(link, log);
  }
  bool to_port = false;
  bool may_look = true;
  for (const auto& lane : link.lanes) {
    lane->ready = serial_ready(*lane, log, now, may_look);
    to_port = to_port || lane->ready;
  }
  const bool to_udp = link.udp.active();
  if ((to_port || to_udp) && throttle_passes(link.last_send_tick, now)) {
    encode_cycle(state, settings, link.frame_buffer.data());
    // Each port the same cycle: a background writer's at once, then the host thread's in turn.
    for (const auto& lane : link.lanes) {
      if (lane->ready && lane->mode == LinkMode::background) {
        lane->writer.submit_cycle(lane_cycle(*lane, link));
      }
    }
    for (const auto& lane : link.lanes) {
      if (lane->ready && lane->mode != LinkMode::background) {
        synchronous_send(*lane, lane_cycle(*lane, link), log, now);
      }
    }
    link.udp.submit_cycle(link.frame_buffer.data(), now);
    // Once a cycle, not on every frame-end: the sender's news waits at most 50 ms.
    for (UdpEvent event = link.udp.take_event(now); event != UdpEvent::none;
         event = link.udp.take_event(now)) {
      report_udp(link, log, event);
    }
  }
}

bool link_busy(const ClusterLink& link, const SerialPort& /*port*/) noexcept {
  for (const auto& lane : link.lanes) {
    if (lane->mode == LinkMode::background || lane->port->is_open() || lane->lost) {
      return true;
    }
  }
  return link.udp.active() || link.can.active();
}

void stop_link(ClusterLink& link, SerialPort& port) noexcept {
  // Every writer gets its reset frame first, so that the drains run side by side.
  for (const auto& lane : link.lanes) {
    if (lane->holding) {
      lane->writer.stop(0);  // within the delay, not even the reset frame goes out
    } else if (lane->mode == LinkMode::background) {
      lane->writer.submit_reset();
    }
  }
  for (const auto& lane : link.lanes) {
    SerialPort& lane_port = *lane->port;
    if (lane->holding) {
      // nothing is sent within the delay
    } else if (lane->mode == LinkMode::background) {
      lane->writer.stop(SHUTDOWN_DRAIN_MS);
    } else if (lane_port.is_open() &&
               (!lane->stalled || lane_port.output_ready() == os::io_status::done)) {
      write_frames(lane_port, RESET_FRAME, RESET_FRAME_LENGTH, 1);
    }
    lane_port.close();
  }
  link.lanes.clear();
  port.close();
  link.udp.submit_reset();
  link.udp.close();
  link.can.close();
}

}  // namespace vontrel
