#include "link/cluster_link.h"

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

void report(const ClusterLink& link, const LinkLog& log, LinkEvent event) noexcept {
  const bool lost = event == LinkEvent::lost;
  tell(log, lost, lost ? "Serial port lost, reconnecting" : "Serial port reconnected",
       link.port_name.c_str());
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
void note_stall(ClusterLink& link, os::io_status sent, std::uint32_t now) noexcept {
  if (sent == os::io_status::timed_out) {
    link.stalled = true;
    link.retry_tick = now;
  }
}

void report_udp(const ClusterLink& link, const LinkLog& log, UdpEvent event) noexcept {
  const bool failing = event == UdpEvent::failing;
  tell(log, failing, failing ? "UDP send failing, still trying" : "UDP send works again",
       link.udp.target().c_str());
}

// The synchronous link before a cycle: a lost port is reopened (reconnecting only), a stalled
// one waited out without waiting. True when a due cycle may be written.
bool synchronous_ready(ClusterLink& link, SerialPort& port, const LinkLog& log,
                       std::uint32_t now) noexcept {
  if (!port.is_open()) {
    if (link.lost && now - link.retry_tick >= REOPEN_INTERVAL_MS) {
      link.retry_tick = now;
      const bool hold = link.startup_delay_ms > 0;
      if (reopen_port(port, link.port_name, os::deadline_after(LINK_WAIT_MS), hold)) {
        link.lost = false;
        link.stalled = false;
        // A re-plugged board restarts its bootloader as at start-up: the same delay.
        link.holding = hold;
        link.opened_tick = now;
        report(link, log, LinkEvent::back);
      }
    }
    return false;
  }
  if (link.stalled) {
    if (now - link.retry_tick < STALL_RETRY_MS) {
      return false;
    }
    const os::io_status ready = port.output_ready();
    if (ready == os::io_status::timed_out ||
        (ready == os::io_status::failed && link.mode != LinkMode::reconnecting)) {
      return false;
    }
    link.stalled = false;  // a gone port is found by the cycle's writes below
  }
  return true;
}

// The encoded cycle on the host's thread.
void synchronous_send(ClusterLink& link, SerialPort& port, const LinkLog& log,
                      std::uint32_t now) noexcept {
  const os::io_status sent =
      write_frames(port, link.frame_buffer.data(), FRAME_LENGTH, FRAMES_PER_CYCLE);
  note_stall(link, sent, now);
  if (sent == os::io_status::failed && link.mode == LinkMode::reconnecting) {
    port.close();
    link.lost = true;
    link.retry_tick = now;
    report(link, log, LinkEvent::lost);
  }
}

// The reset frame that clears the cluster, by whichever side writes.
void send_serial_reset(ClusterLink& link, SerialPort& port, std::uint32_t now) noexcept {
  if (link.mode == LinkMode::background) {
    link.writer.submit_reset();
  } else {
    note_stall(link, write_frames(port, RESET_FRAME, RESET_FRAME_LENGTH, 1), now);
  }
}

// The serial side of a frame-end: true when a cycle is to be written to the port now.
bool serial_ready(ClusterLink& link, SerialPort& port, const LinkLog& log,
                  std::uint32_t now) noexcept {
  if (!link.serial) {
    return false;
  }
  if (link.holding) {
    if (now - link.opened_tick >= link.startup_delay_ms) {
      // The board is past its bootloader: clear it, and the next frame-end sends a cycle.
      link.holding = false;
      send_serial_reset(link, port, now);
    }
    return false;
  }
  if (link.mode != LinkMode::background) {
    return synchronous_ready(link, port, log, now);
  }
  for (LinkEvent event = link.writer.take_event(); event != LinkEvent::none;
       event = link.writer.take_event()) {
    report(link, log, event);
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

bool start_link(ClusterLink& link, SerialPort& port, const LinkLog& log,
                const std::string& port_name, const LinkSettings& settings, std::uint32_t now,
                std::string& error) {
  // A writer left by an earlier start-up owns the port: stop it, so that the port is judged
  // here as on the plain link ("already open" closes it) and nothing reopens it behind us.
  link.writer.stop(0);
  link.mode = LinkMode::plain;
  link.lost = false;
  link.stalled = false;
  link.port_name = port_name;
  link.serial = !is_no_port(port_name);
  link.holding = link.serial && settings.startup_delay_ms > 0;
  link.opened_tick = now;
  link.startup_delay_ms = settings.startup_delay_ms;
  link.udp.close();
  // An earlier start-up's sender goes whatever happens here: a start-up that fails leaves no
  // thread of ours running.
  link.can.close();
  if (link.serial) {
    // A port named by its USB identity is looked up in the system's records; only the one it
    // names is ever opened.
    std::string device;
    std::string found;
    if (!find_port(port_name, device, found)) {
      link.holding = false;
      if (!settings.reconnect) {
        error = found;
        return false;
      }
      // The board may be plugged in later: looked for once a second, as a lost port is.
      log(LogKind::error, found.c_str());
      link.lost = true;
      link.retry_tick = now;
    } else {
      if (!found.empty()) {
        log(LogKind::message, found.c_str());
      }
      if (!port.open(device.c_str(), error)) {
        link.holding = false;
        return false;
      }
    }
    if (settings.background_writes &&
        link.writer.start(port, port_name, settings.reconnect, settings.startup_delay_ms)) {
      link.mode = LinkMode::background;
    } else {
      // No writer (not asked for, or no thread to be had): the host's thread writes, bounded.
      link.mode = settings.reconnect ? LinkMode::reconnecting : LinkMode::plain;
    }
    if (!link.holding && !link.lost) {
      send_serial_reset(link, port, now);
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
  link.writer.stop(SHUTDOWN_DRAIN_MS);
  link.mode = LinkMode::plain;
  link.udp.close();
  link.can.close();
}

void link_frame_end(ClusterLink& link, SerialPort& port, const LinkLog& log,
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
  const bool to_port = serial_ready(link, port, log, now);
  const bool to_udp = link.udp.active();
  if ((to_port || to_udp) && throttle_passes(link.last_send_tick, now)) {
    encode_cycle(state, settings, link.frame_buffer.data());
    if (to_port && link.mode == LinkMode::background) {
      link.writer.submit_cycle(link.frame_buffer.data());
    } else if (to_port) {
      synchronous_send(link, port, log, now);
    }
    link.udp.submit_cycle(link.frame_buffer.data(), now);
    // Once a cycle, not on every frame-end: the sender's news waits at most 50 ms.
    for (UdpEvent event = link.udp.take_event(now); event != UdpEvent::none;
         event = link.udp.take_event(now)) {
      report_udp(link, log, event);
    }
  }
}

bool link_busy(const ClusterLink& link, const SerialPort& port) noexcept {
  return link.mode == LinkMode::background || port.is_open() || link.lost || link.udp.active() ||
         link.can.active();
}

void stop_link(ClusterLink& link, SerialPort& port) noexcept {
  if (link.holding) {
    link.writer.stop(0);  // within the delay, not even the reset frame goes out
  } else if (link.mode == LinkMode::background) {
    link.writer.submit_reset();
    link.writer.stop(SHUTDOWN_DRAIN_MS);
  } else if (port.is_open() && (!link.stalled || port.output_ready() == os::io_status::done)) {
    write_frames(port, RESET_FRAME, RESET_FRAME_LENGTH, 1);
  }
  port.close();
  link.udp.submit_reset();
  link.udp.close();
  link.can.close();
  link.mode = LinkMode::plain;
  link.lost = false;
  link.stalled = false;
  link.holding = false;
}

}  // namespace vontrel
