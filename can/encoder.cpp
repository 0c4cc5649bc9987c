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
    position = next_bit(signal, position);
  }
}

std::uint64_t get_raw(const Signal& signal, const Data& bytes) noexcept {
  std::uint64_t raw = 0;
  std::int64_t position = signal.start_bit;
  for (std::uint32_t i = 0; i < signal.length && i < 64; ++i) {
    const std::uint32_t to = signal.byte_order == ByteOrder::intel ? i : signal.length - 1 - i;
    if (position < 0 || position >= 64) {
      break;
    }
    const auto byte = static_cast<std::size_t>(position / 8);
    const auto bit = static_cast<unsigned>(position % 8);
    if (((bytes[byte] >> bit) & 1U) != 0 && to < 64) {
      raw |= std::uint64_t{1} << to;
    }
    position = next_bit(signal, position);
  }
  return raw;
}

double physical(const Signal& signal, std::uint64_t raw) noexcept {
  double value = static_cast<double>(raw);
  if (signal.is_signed && signal.length > 0 && signal.length < 64 &&
      ((raw >> (signal.length - 1)) & 1U) != 0) {
    value -= std::exp2(static_cast<double>(signal.length));
  } else if (signal.is_signed && signal.length == 64) {
    value = static_cast<double>(static_cast<std::int64_t>(raw));
  }
  return value * signal.factor + signal.offset;
}

std::uint8_t checksum_of(const Signal& checksum, const Source& source, const Data& bytes,
                         const FrameOf& frame, std::uint64_t counter) noexcept {
  const std::size_t length = frame.length < bytes.size() ? frame.length : bytes.size();
  std::uint8_t taken[8 + 4 + 1] = {};
  std::size_t count = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const bool wanted =
        source.bytes != 0 ? ((source.bytes >> i) & 1U) != 0 : i != byte_of(checksum);
    if (wanted) {
      taken[count++] = bytes[i];
    }
  }
  if (source.kind != SourceKind::crc8) {
    if (source.with_id) {
      // Every byte of the identifier, low to high: two of an 11-bit one, four of a 29-bit.
      for (std::size_t i = 0; i < (frame.extended ? 4U : 2U); ++i) {
        taken[count++] = static_cast<std::uint8_t>(frame.id >> (8 * i));
      }
    }
    if (source.with_length) {
      taken[count++] = static_cast<std::uint8_t>(frame.length);
    }
    std::uint8_t result = source.kind == SourceKind::xor8 ? xor8(taken, count) : sum8(taken, count);
    result = static_cast<std::uint8_t>(source.kind == SourceKind::xor8 ? result ^ source.initial
                                                                       : result + source.initial);
    return source.complement ? static_cast<std::uint8_t>(~result) : result;
  }
  const std::uint8_t* extra = nullptr;
  if (source.data.size() == 16) {
    extra = &source.data[counter % 16];
  } else if (source.data.size() == 1) {
    extra = source.data.data();
  }
  return crc8(taken, count, source.polynomial, source.initial, source.final_xor, extra,
              extra != nullptr ? 1 : 0);
}

bool parse_slcan(std::string_view line, std::uint32_t& id, bool& extended, Data& bytes,
                 std::size_t& length) noexcept {
  const auto hex = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : -1;
  };
  if (line.empty() || (line[0] != 't' && line[0] != 'T')) {
    return false;
  }
  extended = line[0] == 'T';
  const std::size_t digits = extended ? 8 : 3;
  if (line.size() < 1 + digits + 1) {
    return false;
  }
  id = 0;
  for (std::size_t i = 1; i <= digits; ++i) {
    const int digit = hex(line[i]);
    if (digit < 0) {
      return false;
    }
    id = id << 4 | static_cast<std::uint32_t>(digit);
  }
  const int count = line[1 + digits] - '0';
  if (count < 0 || count > 8 || id > (extended ? 0x1FFFFFFFu : 0x7FFu)) {
    return false;
  }
  const std::size_t frame = 2 + digits + 2 * static_cast<std::size_t>(count);
  if (line.size() != frame && line.size() != frame + 4) {
    return false;
  }
  for (std::size_t i = 2 + digits; i < line.size(); ++i) {
    if (hex(line[i]) < 0) {
      return false;
    }
  }
  bytes = Data{};
  for (int i = 0; i < count; ++i) {
    const std::size_t at = 2 + digits + 2 * static_cast<std::size_t>(i);
    bytes[static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(hex(line[at]) * 16 + hex(line[at + 1]));
  }
  length = static_cast<std::size_t>(count);
  return true;
}

std::size_t slcan_line(std::uint32_t id, bool extended, const Data& bytes, std::size_t length,
                       char* line) noexcept {
  static const char HEX[] = "0123456789ABCDEF";
  length = length < bytes.size() ? length : bytes.size();
  std::size_t at = 0;
  line[at++] = extended ? 'T' : 't';
  for (int shift = extended ? 28 : 8; shift >= 0; shift -= 4) {
    line[at++] = HEX[(id >> shift) & 0xF];
  }
  line[at++] = static_cast<char>('0' + length);
  for (std::size_t i = 0; i < length; ++i) {
    line[at++] = HEX[bytes[i] >> 4];
    line[at++] = HEX[bytes[i] & 0xF];
  }
  line[at++] = '\r';
  return at;
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

std::vector<std::uint32_t> pages_to_send(const Message& message,
                                         const std::vector<Source>& sources) {
  for (std::size_t i = 0; i < message.signals.size() && i < sources.size(); ++i) {
    if (message.signals[i].multiplexor && sources[i].kind == SourceKind::constant) {
      return {static_cast<std::uint32_t>(to_raw(message.signals[i], sources[i].constant))};
    }
  }
  return message.pages;
}

std::uint64_t counter_value(const Signal& signal, const Source& source,
                            std::uint32_t number) noexcept {
  if (source.first != 0 || source.last != 0) {
    return source.first + number % (source.last - source.first + 1);
  }
  return signal.length >= 32 ? number : number % (std::uint64_t{1} << signal.length);
}

Data encode(const Message& message, const std::vector<Source>& sources, const TelemetryState& state,
            const Send& send) noexcept {
  Data bytes{};
  const std::size_t length = message.length < bytes.size() ? message.length : bytes.size();
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = message.fill;
  }
  const bool paged = !message.pages.empty();
  const Signal* checksum = nullptr;
  const Source* checksum_source = nullptr;
  std::uint64_t counter = send.number;
  for (std::size_t i = 0; i < message.signals.size() && i < sources.size(); ++i) {
    const Signal& signal = message.signals[i];
    const Source& source = sources[i];
    if (paged && signal.page >= 0 && static_cast<std::uint32_t>(signal.page) != send.page) {
      continue;  // another page's
    }
    if (paged && signal.multiplexor) {
      put_raw(signal, send.page, bytes);
      continue;
    }
    const auto wrapped = [&](double raw) {
      const double size = std::exp2(static_cast<double>(signal.length));
      return static_cast<std::uint64_t>(std::fmod(std::floor(raw), size));
    };
    const auto state_of = [&](std::size_t value) {
      const double read = NAMED_VALUES[value].read(state);
      return !std::isnan(read) && read != 0.0;
    };
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
        counter = counter_value(signal, source, send.number);
        put_raw(signal, counter, bytes);
        break;
      case SourceKind::all:
      case SourceKind::any: {
        const bool all = source.kind == SourceKind::all;
        bool result = all;
        for (const std::size_t operand : source.operands) {
          result = all ? result && state_of(operand) : result || state_of(operand);
        }
        put_raw(signal, to_raw(signal, result ? 1.0 : 0.0), bytes);
        break;
      }
      case SourceKind::none:
        put_raw(signal, to_raw(signal, state_of(source.operands.front()) ? 0.0 : 1.0), bytes);
        break;
      case SourceKind::pulses:
      case SourceKind::fuel_used: {
        const double total = send.totals == nullptr ? 0.0
                             : source.kind == SourceKind::pulses
                                 ? send.totals->distance_km() * source.constant
                                 : send.totals->fuel_used_ul();
        double shown = std::floor(total);
        if (send.totals_sent != nullptr && !std::isnan(send.totals_sent[i])) {
          const double most =
              std::fmax(1.0, std::exp2(static_cast<double>(signal.length) - 1.0) - 1.0);
          shown = std::fmin(shown, send.totals_sent[i] + most);
        }
        if (send.totals_sending != nullptr) {
          send.totals_sending[i] = shown;
        }
        put_raw(signal, wrapped(std::fmax(signal.start_value, 0.0) + shown), bytes);
        break;
      }
      case SourceKind::xor8:
      case SourceKind::sum8:
      case SourceKind::crc8:
        checksum = &signal;
        checksum_source = &source;
        break;
    }
  }
  if (checksum != nullptr && byte_of(*checksum) < length) {
    bytes[byte_of(*checksum)] = checksum_of(*checksum, *checksum_source, bytes,
                                            FrameOf{message.id, message.extended, length}, counter);
  }
  return bytes;
}

}  // namespace vontrel::can
