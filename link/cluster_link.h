// How frames reach the cluster. The link is chosen once, at start-up, from opt-in settings.
// The serial port, unless the port's name is "none":
//   plain         each frame is one write and one flush on the host's thread;
//   reconnecting  the same, and a lost port is reopened once a second;
//   background    a writer thread of ours does the writes (with or without reopening).
// With a start-up delay, any mode holds everything back, the reset frame too, until that long
// after the port opened: most Arduino-class boards reset when the port opens, and bytes sent
// while their bootloader listens could be taken as its commands. Nothing waits for the delay;
// frame-ends that come before it send nothing.
// Beside it, or instead of it, a UDP target: each cycle and each reset frame as one datagram
// (link/udp_output.h), sent from the host's thread without waiting, not held by the start-up
// delay and not stopped by a stalled or lost port. And a CAN adapter (link/can_output.h), whose
// thread sends J1939 messages on a schedule of its own from the latest snapshot.
// Whatever the mode, no host call waits on the cluster for longer than LINK_WAIT_MS: a write
// or flush that gives up leaves the link stalled, and nothing more is sent until the port can
// take data again.
#ifndef VONTREL_LINK_CLUSTER_LINK_H
#define VONTREL_LINK_CLUSTER_LINK_H

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dashboard/frame_format.h"
#include "link/background_writer.h"
#include "link/can_output.h"
#include "link/udp_output.h"
#include "serial/serial_port.h"
#include "settings/settings.h"
#include "telemetry/telemetry_state.h"

namespace vontrel {

// The longest one host call (start-up, a frame-end, shut-down) waits on the cluster.
inline constexpr std::uint32_t LINK_WAIT_MS = 50;
// A stalled port is looked at again at most this often: a driver that cannot tell whether the
// cluster reads again costs the host one bounded wait per interval, not one per frame.
inline constexpr std::uint32_t STALL_RETRY_MS = 1000;
// How long shut-down lets the background writer finish what it has.
inline constexpr std::uint32_t SHUTDOWN_DRAIN_MS = 1000;

// The port name that means no serial link, in any case ("none", "None").
bool is_no_port(std::string_view port_name) noexcept;

struct LinkSettings {
  bool background_writes = false;
  bool reconnect = false;
  std::uint32_t startup_delay_ms = 0;
  std::string udp_target = UDP_OFF;
  bool can = false;  // can_settings holds a port and a bit rate the adapter has
  CanSettings can_settings{};
  // Per port of the list, in its order: its own debug_mode, where it has one.
  std::vector<std::optional<bool>> debug_modes{};
};

// The ports of comport's list, in order ("COM4,usb:1A86:7523"); empty items are left out.
std::vector<std::string> port_list(const std::string& value);

// The settings of one port of the list, keyed by its place in it: "debug_mode.2 bool 0" is the
// second port's. By place, not name: a name holds colons and backslashes, and a board found by
// its identity keeps its settings in any socket. A key for no port of the list, or of another
// type, is a complaint and ignored.
void read_port_settings(const Settings& settings, std::size_t ports, LinkSettings& link,
                        std::vector<std::string>& complaints);

enum class LinkMode { plain, reconnecting, background };

// One serial cluster's line: its port, how it is written and where it stands. Each port of
// comport's list has its own, so that one stalled, lost or held back never holds up another.
struct SerialLane {
  SerialPort* port = nullptr;  // the plug-in's own for the list's first, owned_port's after it
  std::unique_ptr<SerialPort> owned_port;
  std::string port_name;  // as the settings file names it
  std::string avoid;      // the CAN adapter's port, which `auto` never takes
  LinkMode mode = LinkMode::plain;
  bool lost = false;             // reconnecting: a failed write closed the port
  bool stalled = false;          // a wait gave up; nothing goes out until the port drains
  std::uint32_t retry_tick = 0;  // when the lost or stalled port was last tried
  bool holding = false;          // the start-up delay has not passed: nothing is sent yet
  std::uint32_t opened_tick = 0;
  std::uint32_t startup_delay_ms = 0;
  bool ready = false;              // this frame-end: a due cycle goes to this port
  std::optional<bool> debug_mode;  // its own, else the cycle's
  std::array<std::uint8_t, CYCLE_LENGTH> own_cycle{};  // the cycle with its own debug flag
  // Declared last so that it is destroyed first: its thread must be gone before the port.
  BackgroundWriter writer;
};

struct ClusterLink {
  bool serial = true;  // false: "none" was the port, and only UDP goes out
  // One per port of comport's list ("COM4,usb:1A86:7523"), in its order.
  std::vector<std::unique_ptr<SerialLane>> lanes;
  std::array<std::uint8_t, FRAME_BUFFER_SIZE> frame_buffer{};  // a cycle is encoded here
  std::uint32_t last_send_tick = 0;
  UdpOutput udp;
  CanOutput can;
};

// A line for the player: a plain message, or an error.
enum class LogKind : std::uint8_t { message, error };

// Where the link's lines go. The link knows no host: the plug-in hands it a function that
// passes each line to the host's log (nothing, when the host gave none).
struct LinkLog {
  void (*write)(const void* context, LogKind kind, const char* text) noexcept = nullptr;
  const void* context = nullptr;
  void operator()(LogKind kind, const char* text) const noexcept {
    if (write != nullptr) {
      write(context, kind, text);
    }
  }
};

// The link is handed the port it writes and the log, which hears of an output left off, a
// port or an adapter lost and back.

// Start-up at tick `now`: opens the port (each port of a list: "COM4,COM5"), chooses the link
// and clears the cluster before any value can reach it. False with the port's error text; the
// port is then closed and the link sends nothing. Of a list, a port that cannot be opened is a
// line naming it, and start-up fails only when none opened (and none is looked for, with
// reconnect); the first is `port`, the others the link's own. A UDP target that cannot be used is
// told in the host's log and left off; start-up goes on without it.
bool start_link(ClusterLink& link, SerialPort& port, const LinkLog& log,
                const std::string& port_name, const LinkSettings& settings, std::uint32_t now,
                std::string& error);

// Start-up failed after the port was opened and the host will unload us without a shut-down:
// no thread of ours may outlive the call, nor a socket. The port stays open, written from the
// host's thread.
void abandon_link(ClusterLink& link) noexcept;

// One frame-end at tick `now`: at most one cycle, encoded from the snapshot and the settings.
void link_frame_end(ClusterLink& link, SerialPort& port, const LinkLog& log,
                    const TelemetryState& state, const Settings& settings,
                    std::uint32_t now) noexcept;

// Whether a frame-end has anything to do (a port to write to or one to reopen, a socket, an
// adapter): when not, the host's frame-end does not even read the clock.
bool link_busy(const ClusterLink& link, const SerialPort& port) noexcept;

// Shut-down: clears the cluster and closes the port, in bounded time whatever the cluster
// does.
void stop_link(ClusterLink& link, SerialPort& port) noexcept;

}  // namespace vontrel

#endif  // VONTREL_LINK_CLUSTER_LINK_H
