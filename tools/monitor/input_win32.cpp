// The monitor's input on Windows: COM ports through CreateFileA and the DCB, files and
// standard input through their handles. There is no virtual port: use a second adapter, or a
// recording.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "os/windows_names.h"
#include "tools/monitor/input.h"

namespace vontrel::monitor {

namespace {

std::string last_error_text() {
  char text[256] = {};
  ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   ::GetLastError(), 0, text, sizeof text, nullptr);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return message;
}

class HandleInput : public Input {
 public:
  HandleInput(HANDLE handle, std::string name, bool file, bool owned)
      : handle_(handle), name_(std::move(name)), file_(file), owned_(owned) {}
  ~HandleInput() override {
    if (owned_) {
      ::CloseHandle(handle_);
    }
  }

  long read(std::uint8_t* buffer, std::size_t size, int timeout_ms) override {
    if (!file_) {
      // Back with the first byte that comes, or after the time-out with none.
      COMMTIMEOUTS timeouts{};
      timeouts.ReadIntervalTimeout = MAXDWORD;
      timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
      timeouts.ReadTotalTimeoutConstant =
          timeout_ms < 0 ? MAXDWORD - 1 : static_cast<DWORD>(timeout_ms == 0 ? 1 : timeout_ms);
      ::SetCommTimeouts(handle_, &timeouts);
    }
    DWORD count = 0;
    if (::ReadFile(handle_, buffer, static_cast<DWORD>(size), &count, nullptr) == 0) {
      return ::GetLastError() == ERROR_BROKEN_PIPE ? -1 : (file_ ? -1 : 0);
    }
    if (count == 0) {
      return file_ ? -1 : 0;
    }
    return static_cast<long>(count);
  }
  std::string name() const override { return name_; }
  bool is_file() const override { return file_; }

  WriteResult write(const std::uint8_t* data, std::size_t length, int timeout_ms) override {
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(timeout_ms);
    DWORD count = 0;
    // A write that fails outright (rather than taking less in time) is a device gone away.
    if (file_ || ::SetCommTimeouts(handle_, &timeouts) == 0 ||
        ::WriteFile(handle_, data, static_cast<DWORD>(length), &count, nullptr) == 0) {
      return WriteResult::gone;
    }
    return count == length ? WriteResult::done : WriteResult::timed_out;
  }

 private:
  HANDLE handle_;
  std::string name_;
  bool file_;
  bool owned_;
};

}  // namespace

std::unique_ptr<Input> open_device(const std::string& name, bool crtscts, std::string& error) {
  const HANDLE handle =
      ::CreateFileA(windows_device_name(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = "cannot open " + name + ": " + last_error_text();
    return nullptr;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (::GetCommState(handle, &dcb) == 0) {
    error = "cannot read the line settings of " + name + ": " + last_error_text();
    ::CloseHandle(handle);
    return nullptr;
  }
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = crtscts ? TRUE : FALSE;
  dcb.fRtsControl = crtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  if (::SetCommState(handle, &dcb) == 0) {
    error = "cannot set " + name + " to 115200 8N1: " + last_error_text();
    ::CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<HandleInput>(handle, name, false, true);
}

std::unique_ptr<Input> open_virtual(const std::string& /*link*/, bool /*crtscts*/,
                                    std::string& error) {
  error =
      "--virtual needs a pseudo-terminal, which Windows has not: take the plug-in's "
      "datagrams with --udp 5005 (udp_target str 127.0.0.1:5005 in its settings), read a "
      "second adapter with --device, or a recording with --file";
  return nullptr;
}

std::unique_ptr<Input> open_file(const std::string& path, std::string& error) {
  if (path == "-") {
    return std::make_unique<HandleInput>(::GetStdHandle(STD_INPUT_HANDLE), "standard input", true,
                                         false);
  }
  const HANDLE handle =
      ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = "cannot read " + path + ": " + last_error_text();
    return nullptr;
  }
  return std::make_unique<HandleInput>(handle, path, true, true);
}

const char* const WHERE_PORTS_APPEAR =
    "a USB-serial adapter or an Arduino-class board appears as a COM port once plugged in "
    "(Device Manager, Ports (COM & LPT)); a CH340 board needs its driver first";

std::vector<PortInfo> list_ports() {
  std::set<std::string> ports;
  // The serial ports that drivers have registered...
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
      ERROR_SUCCESS) {
    for (DWORD index = 0;; ++index) {
      char name[256];
      DWORD name_length = sizeof name;
      char value[256];
      DWORD value_length = sizeof value - 1;
      DWORD type = 0;
      const LONG result = ::RegEnumValueA(key, index, name, &name_length, nullptr, &type,
                                          reinterpret_cast<BYTE*>(value), &value_length);
      if (result != ERROR_SUCCESS) {
        break;
      }
      if (type == REG_SZ) {
        value[value_length] = '\0';
        ports.emplace(value);
      }
    }
    ::RegCloseKey(key);
  }
  // ...and every DOS device named COMn.
  std::vector<char> names(1 << 16);
  DWORD length = 0;
  while ((length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()))) ==
             0 &&
         ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 24)) {
    names.resize(names.size() * 2);
  }
  for (const char* name = names.data(); name < names.data() + length && *name != '\0';
       name += std::strlen(name) + 1) {
    if (std::strncmp(name, "COM", 3) == 0 && name[3] >= '0' && name[3] <= '9') {
      ports.emplace(name);
    }
  }
  // ...and, one by one, the names a listing may leave out (Wine maps its ports on demand).
  for (int number = 1; number <= 256; ++number) {
    const std::string name = "COM" + std::to_string(number);
    char target[1024];
    if (::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) {
      ports.insert(name);
    }
  }
  std::vector<std::string> sorted(ports.begin(), ports.end());
  std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  // Each port once: described where Device Manager knows it, by its name alone where not.
  std::vector<PortInfo> described;
  os::list_serial_ports(described);
  std::vector<PortInfo> listed;
  for (const std::string& name : sorted) {
    const std::string device = com_device_name(name);
    const auto known = std::find_if(described.begin(), described.end(),
                                    [&](const PortInfo& port) { return port.device == device; });
    if (known != described.end()) {
      listed.push_back(*known);
    } else {
      PortInfo plain;
      plain.device = device;
      listed.push_back(plain);
    }
  }
  for (const PortInfo& port : described) {
    if (std::none_of(listed.begin(), listed.end(),
                     [&](const PortInfo& seen) { return seen.device == port.device; })) {
      listed.push_back(port);
    }
  }
  return listed;
}

}  // namespace vontrel::monitor
