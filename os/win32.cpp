// The os layer over Win32: COM ports through CreateFileA and the DCB, GetTickCount and
// GetCurrentDirectoryA.
#if defined(_WIN32)

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "os/os.h"
#include "os/windows_names.h"

// Windows 10 version 1803 and later; older headers do not name it.
#if !defined(CREATE_WAITABLE_TIMER_HIGH_RESOLUTION)
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

#if defined(VONTREL_STATIC_RUNTIME)
namespace __gnu_cxx {
void __freeres();
}  // namespace __gnu_cxx
#endif

namespace vontrel::os {

static_assert(sizeof(DCB) <= sizeof(line_settings::native), "the DCB fits the native area");
static_assert(sizeof(DCB) == 28 || sizeof(void*) == 8, "the host's DCB is 28 bytes");

namespace {

// The bound a write has until the caller gives it its own deadline.
constexpr DWORD WRITE_TIMEOUT_MS = 100;

HANDLE handle_of(device_handle device) {
  return reinterpret_cast<HANDLE>(device);
}

std::uint64_t clock_us() {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER counter{};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
  const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
  return ticks / per_second * 1000000u + ticks % per_second * 1000000u / per_second;
}

// A write returns after at most `timeout_ms` with what it got out; a read returns at once with
// what has come.
bool set_write_timeout(HANDLE handle, DWORD timeout_ms) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = timeout_ms;
  return ::SetCommTimeouts(handle, &timeouts) != 0;
}

}  // namespace

device_handle open_device(const char* name, open_error* why) noexcept {
  // COM12 as the system wants it (\\.\COM12); every other name as written.
  char device[16];
  if (is_com_name(name)) {
    std::snprintf(device, sizeof device, "\\\\.\\%s", name);
    name = device;
  }
  // Exclusive (share mode 0), synchronous (no overlapped flag).
  const HANDLE handle =
      ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (why != nullptr) {
      switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
          *why = open_error::no_such_port;
          break;
        // An exclusive open another program holds is refused access.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
          *why = open_error::held;
          break;
        default:
          *why = open_error::other;
          break;
      }
    }
    return invalid_device;
  }
  return reinterpret_cast<device_handle>(handle);
}

bool get_line_settings(device_handle device, line_settings& settings) noexcept {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  if (::GetCommState(handle_of(device), &dcb) == 0) {
    return false;
  }
  std::memcpy(settings.native, &dcb, sizeof dcb);
  settings.baud_rate = dcb.BaudRate;
  settings.stop_bits = dcb.StopBits;
  settings.parity = dcb.Parity;
  settings.byte_size = dcb.ByteSize;
  return true;
}

bool set_line_settings(device_handle device, const line_settings& settings) noexcept {
  // Only these four fields change: flow control, DTR/RTS handling and the special characters
  // stay as the driver reported them.
  DCB dcb;
  std::memcpy(&dcb, settings.native, sizeof dcb);
  dcb.BaudRate = settings.baud_rate;
  dcb.StopBits = settings.stop_bits;
  dcb.Parity = settings.parity;
  dcb.ByteSize = settings.byte_size;
  return ::SetCommState(handle_of(device), &dcb) != 0;
}

timer_handle open_timer() noexcept {
  HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
  if (timer == nullptr) {
    timer = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  return reinterpret_cast<timer_handle>(timer);
}

void timer_sleep(timer_handle timer, std::uint64_t microseconds) noexcept {
  LARGE_INTEGER due{};
  due.QuadPart = -static_cast<LONGLONG>(microseconds * 10);  // relative, in 100 ns
  HANDLE handle = reinterpret_cast<HANDLE>(timer);
  if (handle == nullptr || ::SetWaitableTimer(handle, &due, 0, nullptr, nullptr, FALSE) == 0) {
    ::Sleep(static_cast<DWORD>((microseconds + 999) / 1000));
    return;
  }
  ::WaitForSingleObject(handle, INFINITE);
}

void close_timer(timer_handle timer) noexcept {
  if (timer != 0) {
    ::CloseHandle(reinterpret_cast<HANDLE>(timer));
  }
}

std::uint64_t now_us() noexcept {
  return clock_us();
}

deadline deadline_after(std::uint32_t milliseconds) noexcept {
  return clock_us() + std::uint64_t{milliseconds} * 1000u;
}

bool use_bounded_io(device_handle device) noexcept {
  return set_write_timeout(handle_of(device), WRITE_TIMEOUT_MS);
}

io_status write_device(device_handle device, const std::uint8_t* data, std::uint32_t length,
                       std::uint32_t& written, deadline until) noexcept {
  const std::uint64_t now = clock_us();
  if (now >= until) {
    return io_status::timed_out;
  }
  const auto left_ms = static_cast<DWORD>((until - now + 999u) / 1000u);
  if (!set_write_timeout(handle_of(device), left_ms)) {
    return io_status::failed;
  }
  DWORD count = 0;
  const BOOL ok = ::WriteFile(handle_of(device), data, length, &count, nullptr);
  written += count;
  if (ok == 0) {
    const DWORD error = ::GetLastError();
    const bool timed_out =
        error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT || error == ERROR_COUNTER_TIMEOUT;
    return timed_out ? io_status::timed_out : io_status::failed;
  }
  // A write time-out completes the write with fewer bytes than asked.
  return count == length ? io_status::done : io_status::timed_out;
}

io_status flush_device(device_handle device, deadline until) noexcept {
  // FlushFileBuffers has no time limit and waits forever on a stuck device: watch the
  // driver's output queue instead.
  for (;;) {
    DWORD errors = 0;
    COMSTAT status{};
    if (::ClearCommError(handle_of(device), &errors, &status) == 0) {
      return io_status::failed;
    }
    if (status.cbOutQue == 0) {
      return io_status::done;
    }
    if (clock_us() >= until) {
      return io_status::timed_out;
    }
    // Sleep(1) may last a whole 15.6 ms scheduler tick; a frame leaves in about one.
    ::SwitchToThread();
  }
}

io_status output_ready(device_handle device) noexcept {
  DWORD errors = 0;
  COMSTAT status{};
  if (::ClearCommError(handle_of(device), &errors, &status) == 0) {
    return io_status::failed;
  }
  const bool held = status.fCtsHold != 0 || status.fDsrHold != 0 || status.fRlsdHold != 0 ||
                    status.fXoffHold != 0;
  return status.cbOutQue == 0 && !held ? io_status::done : io_status::timed_out;
}

void discard_input(device_handle device) noexcept {
  ::PurgeComm(handle_of(device), PURGE_RXCLEAR);
}

io_status read_device(device_handle device, std::uint8_t* buffer, std::uint32_t size,
                      std::uint32_t& got) noexcept {
  // The port's read time-outs make a read return at once with what has come.
  DWORD read = 0;
  got = 0;
  if (::ReadFile(handle_of(device), buffer, size, &read, nullptr) == 0) {
    return io_status::failed;
  }
  got = read;
  return io_status::done;
}

bool set_control_lines(device_handle device, bool dtr, bool rts) noexcept {
  return ::EscapeCommFunction(handle_of(device), dtr ? SETDTR : CLRDTR) != 0 &&
         ::EscapeCommFunction(handle_of(device), rts ? SETRTS : CLRRTS) != 0;
}

void discard_output(device_handle device) noexcept {
  ::PurgeComm(handle_of(device), PURGE_TXABORT | PURGE_TXCLEAR);
}

void close_device(device_handle device) noexcept {
  // What the cluster has not taken is dropped, so the close does not wait for it. Only then:
  // a driver over a pseudo-terminal would also drop what already reached the other end.
  DWORD errors = 0;
  COMSTAT status{};
  if (::ClearCommError(handle_of(device), &errors, &status) == 0 || status.cbOutQue > 0) {
    ::PurgeComm(handle_of(device), PURGE_TXABORT | PURGE_TXCLEAR);
  }
  ::CloseHandle(handle_of(device));
}

namespace {

struct ThreadStart {
  void (*entry)(void*);
  void* argument;
  HMODULE module;
};

DWORD WINAPI run_thread(LPVOID start) {
  const ThreadStart what = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  what.entry(what.argument);
  // Drops the reference taken for this thread and ends it without returning into code that
  // may be unloaded by then.
  ::FreeLibraryAndExitThread(what.module, 0);
  return 0;
}

}  // namespace

thread_handle start_thread(void (*entry)(void*), void* argument) noexcept {
  HMODULE module = nullptr;
  if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCSTR>(&start_thread), &module) == 0) {
    return invalid_thread;
  }
  auto* start = new (std::nothrow) ThreadStart{entry, argument, module};
  HANDLE thread =
      start == nullptr ? nullptr : ::CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    ::FreeLibrary(module);
    return invalid_thread;
  }
  return reinterpret_cast<thread_handle>(thread);
}

void join_thread(thread_handle thread) noexcept {
  ::WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
  ::CloseHandle(reinterpret_cast<HANDLE>(thread));
}

std::uint32_t tick_ms() noexcept {
  return ::GetTickCount();
}

void release_runtime() noexcept {
#if defined(VONTREL_STATIC_RUNTIME)
  __gnu_cxx::__freeres();
#endif
}

bool current_directory(std::string& directory) {
  // Ask for the size first: a fixed buffer would cut a long directory short or leave it
  // unterminated. The directory can change between the two calls, so try again if it grew.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD needed = ::GetCurrentDirectoryA(0, nullptr);
    if (needed == 0) {
      return false;
    }
    std::vector<char> buffer(needed);
    const DWORD length = ::GetCurrentDirectoryA(needed, buffer.data());
    if (length == 0) {
      return false;
    }
    if (length < needed) {
      directory.assign(buffer.data(), length);
      return true;
    }
  }
  return false;
}

}  // namespace vontrel::os

#endif  // _WIN32
