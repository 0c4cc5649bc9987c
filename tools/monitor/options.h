// What the monitor was asked to do, and the ways it ends.
#ifndef VONTREL_TOOLS_MONITOR_OPTIONS_H
#define VONTREL_TOOLS_MONITOR_OPTIONS_H

#include <chrono>
#include <csignal>
#include <string>

namespace vontrel::monitor {

using Clock = std::chrono::steady_clock;

constexpr int exit_usage = 64;
constexpr int exit_io = 65;

// Set by Ctrl-C, a terminal that closed or a stop request; every loop looks at it.
extern volatile std::sig_atomic_t stop_requested;

struct Options {
  std::string device;
  std::string file;
  bool virtual_port = false;
  std::string link;
  bool crtscts = false;
  double pace_baud = 0.0;
  double stall_seconds = 0.0;
  double stall_at = 1.0;
  double duration = 0.0;
  bool json = false;
  bool quiet = false;
  std::string record;
  double speed = 1.0;
  bool fast = false;
  bool list_ports = false;
  std::string web;
  std::string udp;              // [ADDRESS:]PORT datagrams are taken at
  std::string forward;          // a serial device what arrives is passed on to
  int forward_delay_ms = 2000;  // nothing passed on for this long after each open
  bool can = false;             // the input is a CAN adapter's slcan stream: decode J1939
  std::string can_device;       // the adapter, opened listen-only; "-" for standard input
  int can_bitrate = 250000;
  std::string dbc;        // a CAN profile
  bool describe = false;  // print it as read, and its problems, then exit
};

}  // namespace vontrel::monitor

#endif  // VONTREL_TOOLS_MONITOR_OPTIONS_H
