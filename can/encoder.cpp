#include "can/encoder.h"

#include <cmath>
#include <string>

namespace vontrel::can {

namespace {

// The byte an 8-bit signal on a byte boundary fills.
std::size_t byte_of(const Signal& signal) noexcept {
  return signal.start_bit / 8;
}

// The raw value of `physical`, clamped to the signal's range and to its bits; the start value
// where there is no value.
std::uint64_t to_raw(const Signal& signal, double physical) noexcept {
  double raw = signal.start_value;
  if (!std::isnan(physical) && signal.factor != 0.0) {
    if (!(signal.minimum == 0.0 && signal.maximum == 0.0)) {
      physical = std::fmin(std::fmax(physical, signal.minimum), signal.maximum);
    }
    raw = std::round((physical - signal.offset) / signal.factor);
  }
  const double bits = static_cast<double>(signal.length);
  const double lowest = signal.is_signed ? -std::exp2(bits - 1) : 0.0;
  const double highest = (signal.is_signed ? std::exp2(bits - 1) : std::exp2(bits)) - 1.0;
  if (std::isnan(raw)) {
    raw = 0.0;
  }
  raw = std::fmin(std::fmax(raw, lowest), highest);
  if (signal.is_signed) {
    // Two's complement in the signal's bits; a 64-bit signal's top is beyond a double's
    // integers, so it is held at the largest that converts.
    const double safe = std::fmin(raw, 9.2233720368547748e18 - 1024.0);
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(safe));
  }
  return raw >= 1.8446744073709552e19 ? ~std::uint64_t{0} : static_cast<std::uint64_t>(raw);
}

}  // namespace

bool prepare_sources(const Message& message, std::vector<Source>& sources, std::string& why) {
  sources.assign(message.signals.size(), Source{});
  for (std::size_t i = 0; i < message.signals.size(); ++i) {
    if (!read_source(message.signals[i].source, sources[i], why)) {
      why.insert(0, "signal " + message.signals[i].name + ": ");
      return false;
    }
  }
  return true;
}

void put_raw(const Signal& signal, std::uint64_t raw, Data& bytes) noexcept {
  std::int64_t position = signal.start_bit;
  for (std::uint32_t i = 0; i < signal.length; ++i) {
    // Intel fills from the least significant bit up; Motorola from the most significant down.
    const std::uint32_t from = signal.byte_order == ByteOrder::intel ? i : signal.length - 1 - i;
    if (position < 0 || position >= 64) {
      return;
    }
    const auto byte = static_cast<std::size_t>(position / 8);
    const auto bit = static_cast<unsigned>(position % 8);
    const bool set = from < 64 && ((raw >> from) & 1U) != 0;
    bytes[byte] =
        static_cast<std::uint8_t>(set ? bytes[byte] | (1U << bit) : bytes[byte] & ~(1U << bit));
    if (signal.byte_order == ByteOrder::intel) {
      ++position;
    } else if (position % 8 == 0) {
      position += 15;
    } else {
      --position;
    }
  }
}

std::uint8_t xor8(const std::uint8_t* bytes, std::size_t count) noexcept {
  std::uint8_t result = 0;
  for (std::size_t i = 0; i < count; ++i) {
    result = static_cast<std::uint8_t>(result ^ bytes[i]);
  }
  return result;
}

std::uint8_t sum8(const std::uint8_t* bytes, std::size_t count) noexcept {
  unsigned result = 0;
  for (std::size_t i = 0; i < count; ++i) {
    result += bytes[i];
  }
  return static_cast<std::uint8_t>(result);
}

std::uint8_t crc8(const std::uint8_t* bytes, std::size_t count, std::uint8_t polynomial,
                  std::uint8_t initial, std::uint8_t final_xor, const std::uint8_t* data,
                  std::size_t data_count) noexcept {
  unsigned crc = initial;
  const auto take = [&](std::uint8_t byte) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x80U) != 0 ? ((crc << 1) ^ polynomial) & 0xFFU : (crc << 1) & 0xFFU;
    }
  };
  for (std::size_t i = 0; i < count; ++i) {
    take(bytes[i]);
  }
  for (std::size_t i = 0; i < data_count; ++i) {
    take(data[i]);
  }
  return static_cast<std::uint8_t>(crc ^ final_xor);
}

Data encode(const Message& message, const std::vector<Source>& sources, const TelemetryState& state,
            std::uint32_t counter) noexcept {
  Data bytes{};
  const std::size_t length = message.length < bytes.size() ? message.length : bytes.size();
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = message.fill;
  }
  const Signal* checksum = nullptr;
  const Source* checksum_source = nullptr;
  for (std::size_t i = 0; i < message.signals.size() && i < sources.size(); ++i) {
    const Signal& signal = message.signals[i];
    const Source& source = sources[i];
    switch (source.kind) {
      case SourceKind::start_value:
        put_raw(signal, to_raw(signal, std::nan("")), bytes);
        break;
      case SourceKind::value:
        put_raw(signal, to_raw(signal, NAMED_VALUES[source.value].read(state)), bytes);
        break;
      case SourceKind::constant:
        put_raw(signal, to_raw(signal, source.constant), bytes);
        break;
      case SourceKind::counter:
        put_raw(signal, signal.length >= 32 ? counter : counter % (1U << signal.length), bytes);
        break;
      case SourceKind::xor8:
      case SourceKind::sum8:
      case SourceKind::crc8:
        checksum = &signal;
        checksum_source = &source;
        break;
    }
  }
  if (checksum != nullptr && byte_of(*checksum) < length) {
    // Every other byte of the message, in order.
    std::uint8_t others[8] = {};
    std::size_t count = 0;
    for (std::size_t i = 0; i < length; ++i) {
      if (i != byte_of(*checksum)) {
        others[count++] = bytes[i];
      }
    }
    std::uint8_t value = 0;
    if (checksum_source->kind == SourceKind::xor8) {
      value = xor8(others, count);
    } else if (checksum_source->kind == SourceKind::sum8) {
      value = sum8(others, count);
    } else {
      const std::vector<std::uint8_t>& data = checksum_source->data;
      const std::uint8_t* extra = nullptr;
      if (data.size() == 16) {
        extra = &data[counter % 16];
      } else if (data.size() == 1) {
        extra = data.data();
      }
      value = crc8(others, count, checksum_source->polynomial, checksum_source->initial,
                   checksum_source->final_xor, extra, extra != nullptr ? 1 : 0);
    }
    bytes[byte_of(*checksum)] = value;
  }
  return bytes;
}

}  // namespace vontrel::can
