// The only door to the operating system: the serial device, a datagram socket, the millisecond
// tick and the working directory. One source per platform implements it (os/win32.cpp,
// os/posix.cpp); the unit tests link a scripted fake instead, to reach failures a real device
// cannot give on demand. Nothing here knows about frames or the host.
#ifndef VONTREL_OS_OS_H
#define VONTREL_OS_OS_H

#include <cstdint>
#include <string>
#include <vector>

namespace vontrel::os {

// Where the settings file lies below the working directory. Appended to the directory as it
// stands: no separator is added or removed between the two.
#if defined(_WIN32)
inline constexpr char SETTINGS_FILE_SUFFIX[] = "\\plugins\\Vontrel.txt";
#else
inline constexpr char SETTINGS_FILE_SUFFIX[] = "/plugins/Vontrel.txt";
#endif

// An open serial device, or invalid_device. Opaque to the core; on Windows it is the HANDLE's
// bits, on POSIX the file descriptor.
using device_handle = std::intptr_t;
inline constexpr device_handle invalid_device = -1;

// The line settings of a device as its driver reports them. The core changes the four named
// fields only; everything else the driver reported (flow control, special characters, ...)
// travels untouched in `native` from get_line_settings to set_line_settings.
struct line_settings {
  std::uint32_t baud_rate = 0;
  std::uint8_t stop_bits = 0;  // 0: one stop bit
  std::uint8_t parity = 0;     // 0: no parity
  std::uint8_t byte_size = 0;  // data bits
  alignas(8) unsigned char native[128] = {};
};

// Why an open failed, as far as the system tells.
enum class open_error : std::uint8_t { none, no_such_port, held, refused, other };

// Opens a serial device by name, exclusively, for synchronous reading and writing. The name is
// passed to the system unchanged. Returns invalid_device on failure, and then `why`, if given,
// says why.
device_handle open_device(const char* name, open_error* why = nullptr) noexcept;

bool get_line_settings(device_handle device, line_settings& settings) noexcept;
bool set_line_settings(device_handle device, const line_settings& settings) noexcept;

// A serial port as the system's device records describe it, read without opening the port.
struct port_info {
  std::string device;   // the name to open: "/dev/ttyUSB0", "COM5", "\\.\COM10"
  std::string also;     // another name for the same port: its /dev/serial/by-id link
  std::string name;     // the system's name for it: "USB-SERIAL CH340 (COM5)", a USB product
  unsigned vendor = 0;  // USB ids, 0 when not a USB device
  unsigned product = 0;
  std::string serial{};  // the USB serial number, empty when the device has none
};

// The serial ports present now, with their USB identity where they have one: on Linux the
// ttyUSB and ttyACM devices from sysfs, on Windows the Ports class from the device records.
// No port is opened, so a wheel or head-tracker on another port is never disturbed. `root`
// is where the records are read ("" for the system's own; on Linux a test's tree holding
// sys/class/tty and dev/serial/by-id). False, with nothing listed, when the system would not
// say.
bool list_serial_ports(std::vector<port_info>& ports, const std::string& root = "") noexcept;

// Every wait on the cluster is bounded: a device that stopped reading (a dead cluster behind
// hardware flow control, an adapter whose device hung) must never hold the caller, which is
// usually the host's own thread. A deadline is a moment on the os layer's fine monotonic clock.
using deadline = std::uint64_t;
deadline deadline_after(std::uint32_t milliseconds) noexcept;
// Now on that clock, in microseconds: for a schedule finer than the millisecond tick, which on
// Windows moves in steps of 15.6 ms.
std::uint64_t now_us() noexcept;

enum class io_status { done, timed_out, failed };

// Makes every later write on the device bounded: a non-blocking descriptor on POSIX, write
// time-outs on Windows (set after the line settings, which may reset them).
bool use_bounded_io(device_handle device) noexcept;

// Writes what the device takes before `until`, adding the count to `written`. done once all
// `length` bytes are taken, timed_out when time ran out first (a short write), failed when the
// system reported an error.
io_status write_device(device_handle device, const std::uint8_t* data, std::uint32_t length,
                       std::uint32_t& written, deadline until) noexcept;

// Waits, at most until `until`, for the written bytes to leave the system's buffers.
io_status flush_device(device_handle device, deadline until) noexcept;

// Whether the device can take more, found without waiting: done once it has sent everything,
// timed_out while it still holds output back, failed when the device is gone.
io_status output_ready(device_handle device) noexcept;

// Drops whatever the device has sent us and nobody read: what a cluster sends, which nothing
// of ours reads, must not pile up in the driver.
void discard_input(device_handle device) noexcept;

// Takes what the device has sent, without waiting: at most `size` bytes into `buffer`, their
// count in `got` (0 when nothing came). failed when the device is gone.
io_status read_device(device_handle device, std::uint8_t* buffer, std::uint32_t size,
                      std::uint32_t& got) noexcept;

// Drops what we wrote and the device has not taken: a CAN adapter that stopped reading must
// not be handed seconds-old frames when it reads again.
void discard_output(device_handle device) noexcept;

// Sets the modem lines DTR and RTS (true: asserted), as an Arduino's auto-reset is driven. False
// when the line has none the driver can switch (a pseudo-terminal, a cable without DTR).
bool set_control_lines(device_handle device, bool dtr, bool rts) noexcept;

// Unsent output is discarded first: a real UART's close would otherwise wait up to 30 s for a
// cluster that stopped reading.
void close_device(device_handle device) noexcept;

// A datagram socket that only sends: the cycle to a phone, a second machine or a Wi-Fi cluster.
// Opaque like the device; the socket's own sources (os/udp_posix.cpp, os/udp_win32.cpp) stand
// apart from the rest of the layer so that the benchmarks can measure real sends.
using socket_handle = std::intptr_t;
inline constexpr socket_handle invalid_socket = -1;

// A numeric IPv4 or IPv6 address and a port, in the system's own form.
struct udp_peer {
  alignas(8) unsigned char native[32] = {};
  std::uint32_t length = 0;
};

// Reads a numeric address ("192.168.1.20", "255.255.255.255", "fe80::1"): never a name, so
// nothing waits on a name server. False for anything else.
bool make_udp_peer(const char* address, std::uint16_t port, udp_peer& peer) noexcept;

// What kind of address a peer is, where it matters for sending: an IPv6 link-local address
// leaves through one interface only, and an IPv4 address written as IPv6 (::ffff:a.b.c.d)
// needs an IPv6 socket that also speaks IPv4, which Windows does not give by default.
enum class peer_kind { ipv4, ipv6, ipv6_link_local, ipv4_mapped };
peer_kind kind_of(const udp_peer& peer) noexcept;

// Sets the interface of an IPv6 peer from its number ("12") or its name ("eth0"; on Windows
// also the name the network settings show). False when no interface has that name.
bool set_udp_scope(udp_peer& peer, const char* scope) noexcept;

// A non-blocking socket of the peer's family that may send to broadcast addresses. It is never
// bound to listen; the system picks its source port when the first datagram leaves.
socket_handle open_udp(const udp_peer& peer) noexcept;

// One datagram, without waiting: done once the system took it, timed_out when its buffers are
// full (the datagram is dropped), failed when the system refused it (no route, no network).
io_status send_datagram(socket_handle socket, const udp_peer& peer, const std::uint8_t* data,
                        std::uint32_t length) noexcept;

void close_udp(socket_handle socket) noexcept;

// A thread of the plug-in's own. On Windows it keeps the library loaded while it runs, so a
// host that unloads us without a shut-down cannot pull the code from under it.
using thread_handle = std::intptr_t;
inline constexpr thread_handle invalid_thread = 0;
thread_handle start_thread(void (*entry)(void*), void* argument) noexcept;
void join_thread(thread_handle thread) noexcept;

// A fine sleep for a thread of ours that keeps a schedule (the CAN messages' 20 ms). On Windows
// it is a high-resolution waitable timer, so the wait is not rounded up to the system's 15.6 ms
// tick; Windows before 10 version 1803 has no such timer and gets its plain one, tick and all.
// Each thread opens its own, uses it and closes it.
using timer_handle = std::intptr_t;
timer_handle open_timer() noexcept;
void timer_sleep(timer_handle timer, std::uint64_t microseconds) noexcept;
void close_timer(timer_handle timer) noexcept;

// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t tick_ms() noexcept;

// At unload, after the plug-in's last object is gone: gives back the emergency exception
// buffer that the library's own static copy of the C++ runtime set aside at load, so a host
// that reloads plug-ins does not lose it each time. Nothing where the runtime is shared.
void release_runtime() noexcept;

// The process's working directory, whatever its length. False when the system could not tell.
bool current_directory(std::string& directory);

// What a path names, asked of the file system without opening it (os/files.cpp): a file the
// player wrote is `regular`; a pipe or a device (a FIFO, /dev/zero, a serial port, or on
// Windows a device's name such as COM8 or NUL in any folder) would block or answer for ever,
// and is never opened.
enum class file_kind : std::uint8_t { regular, missing, directory, device, other };
file_kind kind_of_file(const std::string& path) noexcept;

// For a tool that rewrites a file the player keeps (Vontrel.txt), in os/files.cpp.
// The file `path` names once every symbolic link on the way to it is followed, so that the
// link stays a link and its target gets the change; `path` itself where it is no link (and on
// Windows). Empty, with the reason in `why`, when the links go round in a circle.
std::string followed_links(const std::string& path, std::string& why);
// Why the file may not be written, empty when it may: its own permissions forbid it for
// everyone (a read-only file: even an administrator's tool leaves it so), or this user.
std::string write_protection(const std::string& path);
// `from` put in place of `to` in one step: there is never a moment without either. False with
// the system's reason.
bool replace_file(const std::string& from, const std::string& to, std::string& why);
// `path` given the permissions, and where this user may, the owner of `model`.
void copy_permissions(const std::string& model, const std::string& path) noexcept;

}  // namespace vontrel::os

#endif  // VONTREL_OS_OS_H
