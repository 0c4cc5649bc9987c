// The checks a profile the reader made must pass before anything is sent: signals within
// their message and apart from each other, pages a multiplexor can carry, names and
// identifiers used once, sources that read, counters and checksums with the room they need.
#include "can/dbc_checks.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <string_view>

#include "can/sources.h"

namespace vontrel::can {

namespace {

// The bits a signal covers, bit byte * 8 + bit (bit 0 the least significant) of `bits`, or
// false when it reaches beyond `bytes` (8 at most).
bool covered(const Signal& signal, std::uint32_t bytes, std::uint64_t& bits) {
  bits = 0;
  std::int64_t position = signal.start_bit;
  for (std::uint32_t i = 0; i < signal.length; ++i) {
    if (position < 0 || position >= static_cast<std::int64_t>(bytes) * 8) {
      return false;
    }
    bits |= std::uint64_t{1} << position;
    position = next_bit(signal, position);
  }
  return true;
}

// "bits 8-15": the lowest and highest bit a signal covers, as byte * 8 + bit.
std::string bit_range(std::uint64_t bits) {
  int lowest = 0;
  int highest = 63;
  while (((bits >> lowest) & 1U) == 0) {
    ++lowest;
  }
  while (((bits >> highest) & 1U) == 0) {
    --highest;
  }
  return lowest == highest ? "bit " + std::to_string(lowest)
                           : "bits " + std::to_string(lowest) + "-" + std::to_string(highest);
}

}  // namespace

void add_problem(Profile& profile, std::size_t line, std::string text) {
  if (profile.problems.size() < MAX_PROBLEMS) {
    profile.problems.push_back({line, std::move(text)});
  } else {
    ++profile.problems_not_kept;
  }
}

// Signals of one page, or of every page, may not share a bit; signals of two pages may. Each
// bit remembers the first signal that took it, so a message of many signals is checked in
// one pass.
void check_overlaps(const Message& message, Profile& profile) {
  constexpr std::size_t FREE = static_cast<std::size_t>(-1);
  struct Owners {
    std::int64_t page;
    std::array<std::size_t, 64> by_bit;
  };
  std::vector<Owners> owners;  // [0] every page's; then one a page, as met
  owners.push_back({-1, {}});
  owners[0].by_bit.fill(FREE);
  std::vector<std::uint64_t> bits_of(message.signals.size(), 0);
  const auto table = [&](std::int64_t page) -> Owners& {
    for (Owners& one : owners) {
      if (one.page == page) {
        return one;
      }
    }
    owners.push_back({page, {}});
    owners.back().by_bit.fill(FREE);
    return owners.back();
  };
  for (std::size_t i = 0; i < message.signals.size(); ++i) {
    const Signal& signal = message.signals[i];
    std::uint64_t bits = 0;
    if (signal.length == 0 || signal.length > 64) {
      add_problem(profile, signal.line,
                  "signal " + signal.name + ": a length of " + std::to_string(signal.length) +
                      " bits; 1 to 64 are sent");
      continue;
    }
    if (!covered(signal, message.length, bits)) {
      add_problem(profile, signal.line,
                  "signal " + signal.name + " reaches beyond the message's " +
                      std::to_string(message.length) + " bytes");
      continue;
    }
    bits_of[i] = bits;
    const std::int64_t page = signal.multiplexor ? -1 : signal.page;
    // A signal of every page meets every page's; one of a page meets every page's and its own.
    std::size_t other = FREE;
    for (std::size_t t = 0; t < owners.size() && other == FREE; ++t) {
      if (page >= 0 && owners[t].page >= 0 && owners[t].page != page) {
        continue;
      }
      for (int bit = 0; bit < 64 && other == FREE; ++bit) {
        if (((bits >> bit) & 1U) != 0) {
          other = owners[t].by_bit[static_cast<std::size_t>(bit)];
        }
      }
    }
    if (other != FREE) {
      if (profile.problems.size() < MAX_PROBLEMS) {
        add_problem(profile, signal.line,
                    "signals " + message.signals[other].name + " (" + bit_range(bits_of[other]) +
                        ") and " + signal.name + " (" + bit_range(bits) + ") overlap");
      } else {
        ++profile.problems_not_kept;
      }
      continue;
    }
    Owners& mine = table(page);
    for (int bit = 0; bit < 64; ++bit) {
      if (((bits >> bit) & 1U) != 0 && mine.by_bit[static_cast<std::size_t>(bit)] == FREE) {
        mine.by_bit[static_cast<std::size_t>(bit)] = i;
      }
    }
  }
}

// The pages of a multiplexed message, or why it is no multiplexed message the sender takes.
bool read_pages(Message& message, Profile& profile) {
  const Signal* multiplexor = nullptr;
  const Signal* paged = nullptr;
  for (const Signal& signal : message.signals) {
    if (signal.multiplexor && multiplexor != nullptr) {
      add_problem(profile, signal.line,
                  "message " + message.name + " has two multiplexors (M): " + multiplexor->name +
                      " and " + signal.name);
      return false;
    }
    multiplexor = signal.multiplexor ? &signal : multiplexor;
    if (signal.page >= 0) {
      paged = paged != nullptr ? paged : &signal;
      message.pages.push_back(static_cast<std::uint32_t>(signal.page));
    }
  }
  if (paged != nullptr && multiplexor == nullptr) {
    add_problem(profile, paged->line,
                "signal " + paged->name + " is multiplexed (m" + std::to_string(paged->page) +
                    ") in a message without a "
                    "multiplexor (M)");
    return false;
  }
  std::sort(message.pages.begin(), message.pages.end());
  message.pages.erase(std::unique(message.pages.begin(), message.pages.end()), message.pages.end());
  if (multiplexor != nullptr && message.pages.empty()) {
    // Nothing is multiplexed under it: an ordinary signal.
    for (Signal& signal : message.signals) {
      signal.multiplexor = false;
    }
    return true;
  }
  if (multiplexor != nullptr && multiplexor->length < 64 &&
      message.pages.back() >= (std::uint64_t{1} << multiplexor->length)) {
    add_problem(profile, multiplexor->line,
                "multiplexor " + multiplexor->name + " of " + std::to_string(multiplexor->length) +
                    " bits cannot carry page " + std::to_string(message.pages.back()));
    return false;
  }
  return true;
}

// Two messages with one identifier would both go out under it, and two of one name (or two
// signals of one name in a message) take each other's attributes: each is a problem.
void check_names(const std::vector<RawMessage>& messages, Profile& profile) {
  std::map<std::uint64_t, const RawMessage*> by_id;
  std::map<std::string, const RawMessage*> by_name;
  for (const RawMessage& raw : messages) {
    const auto [same_id, new_id] = by_id.emplace(raw.raw_id, &raw);
    if (!new_id) {
      add_problem(profile, raw.message.line,
                  "messages " + same_id->second->message.name + " (line " +
                      std::to_string(same_id->second->message.line) + ") and " + raw.message.name +
                      " have one identifier");
    }
    const auto [same_name, new_name] = by_name.emplace(raw.message.name, &raw);
    if (!new_name) {
      add_problem(profile, raw.message.line,
                  "two messages are named " + raw.message.name + " (lines " +
                      std::to_string(same_name->second->message.line) + " and " +
                      std::to_string(raw.message.line) + ")");
    }
    std::set<std::string_view> signals;
    for (const Signal& signal : raw.message.signals) {
      if (!signals.insert(signal.name).second) {
        add_problem(profile, signal.line,
                    "message " + raw.message.name + " has two signals named " + signal.name);
      }
    }
  }
}

// Each source reads, a checksum fills one whole byte (and is the message's only one), and
// a CRC with a data byte per counter value has a counter that stays within its sixteen.
void check_sources(const Message& message, Profile& profile) {
  std::size_t checksums = 0;
  const Signal* counter = nullptr;
  const Signal* per_counter = nullptr;
  std::uint64_t counter_last = 0;
  for (const Signal& signal : message.signals) {
    Source source;
    std::string why;
    if (!read_source(signal.source, source, why)) {
      add_problem(profile, signal.source_line, "signal " + signal.name + ": " + why);
      continue;
    }
    if (source.kind == SourceKind::counter) {
      counter = &signal;
      counter_last = source.last != 0     ? source.last
                     : signal.length < 64 ? (std::uint64_t{1} << signal.length) - 1
                                          : ~std::uint64_t{0};
      if (signal.length < 64 && source.last >= (std::uint64_t{1} << signal.length)) {
        add_problem(profile, signal.source_line,
                    "signal " + signal.name + ": a counter to " + std::to_string(source.last) +
                        " needs more than " + std::to_string(signal.length) + " bits");
      }
    }
    if (source.is_checksum()) {
      ++checksums;
      const bool on_a_byte = signal.byte_order == ByteOrder::intel ? signal.start_bit % 8 == 0
                                                                   : signal.start_bit % 8 == 7;
      if (signal.length != 8 || !on_a_byte) {
        add_problem(profile, signal.source_line,
                    "signal " + signal.name + ": a checksum takes 8 bits on a byte boundary");
      } else if (((source.bytes >> (signal.start_bit / 8)) & 1U) != 0) {
        add_problem(profile, signal.source_line,
                    "signal " + signal.name + ": a checksum's bytes may not take its own byte " +
                        std::to_string(signal.start_bit / 8));
      }
      if (source.bytes >> message.length != 0) {
        add_problem(profile, signal.source_line,
                    "signal " + signal.name +
                        ": the checksum's bytes reach "
                        "beyond the message's " +
                        std::to_string(message.length) + " bytes");
      }
      if (source.data.size() == 16) {
        per_counter = &signal;
      }
    }
  }
  if (checksums > 1) {
    add_problem(profile, message.line, "message " + message.name + " has more than one checksum");
  }
  if (per_counter != nullptr && counter == nullptr) {
    add_problem(profile, per_counter->source_line,
                "signal " + per_counter->name +
                    ": a data byte per counter value needs a counter "
                    "in the message");
  } else if (per_counter != nullptr && counter_last > 15) {
    add_problem(profile, counter->source_line,
                "signal " + counter->name + ": a counter of " + std::to_string(counter->length) +
                    " bits runs past the checksum's sixteen data bytes");
  }
}

}  // namespace vontrel::can
