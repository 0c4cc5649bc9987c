// The os layer over Win32: COM ports through CreateFileA and the DCB, GetTickCount and
// GetCurrentDirectoryA.
#if defined(_WIN32)

#include <windows.h>

#include <cstring>
#include <new>
#include <vector>

#include "os/os.h"

namespace vontrel::os {

static_assert(sizeof(DCB) <= sizeof(line_settings::native), "the DCB fits the native area");
static_assert(sizeof(DCB) == 28 || sizeof(void*) == 8, "the host's DCB is 28 bytes");

namespace {

HANDLE handle_of(device_handle device) {
  return reinterpret_cast<HANDLE>(device);
}

}  // namespace

device_handle open_device(const char* name) noexcept {
  // Exclusive (share mode 0), synchronous (no overlapped flag); the name goes to the system
  // as the user wrote it, so \\.\COM10 works for ports above COM9.
  const HANDLE handle =
      ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
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

bool write_device(device_handle device, const std::uint8_t* data, std::uint32_t length) noexcept {
  DWORD written = 0;
  return ::WriteFile(handle_of(device), data, length, &written, nullptr) != 0;
}

bool flush_device(device_handle device) noexcept {
  return ::FlushFileBuffers(handle_of(device)) != 0;
}

void close_device(device_handle device) noexcept {
  ::CloseHandle(handle_of(device));
}

bool use_bounded_io(device_handle device) noexcept {
  // A write returns after at most this long with what it got out; the writer tries again.
  COMMTIMEOUTS timeouts{};
  if (::GetCommTimeouts(handle_of(device), &timeouts) == 0) {
    return false;
  }
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 100;
  return ::SetCommTimeouts(handle_of(device), &timeouts) != 0;
}

io_status write_device_bounded(device_handle device, const std::uint8_t* data, std::uint32_t length,
                               std::uint32_t& written, std::uint32_t /*timeout_ms*/) noexcept {
  DWORD count = 0;
  const BOOL ok = ::WriteFile(handle_of(device), data, length, &count, nullptr);
  written += count;
  if (ok == 0) {
    const DWORD error = ::GetLastError();
    const bool timed_out =
        error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT || error == ERROR_COUNTER_TIMEOUT;
    return timed_out ? io_status::timed_out : io_status::failed;
  }
  return count == length ? io_status::done : io_status::timed_out;
}

io_status output_drained(device_handle device) noexcept {
  DWORD errors = 0;
  COMSTAT status{};
  if (::ClearCommError(handle_of(device), &errors, &status) == 0) {
    return io_status::failed;
  }
  return status.cbOutQue == 0 ? io_status::done : io_status::timed_out;
}

void sleep_ms(std::uint32_t milliseconds) noexcept {
  ::Sleep(milliseconds);
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
