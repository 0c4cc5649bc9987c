// The DBC reader's checks, apart from its reading: what the reader made (a message, the
// profile's messages) in, each problem with its line into the profile. Within can/ only.
#ifndef VONTREL_CAN_DBC_CHECKS_H
#define VONTREL_CAN_DBC_CHECKS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "can/dbc.h"

namespace vontrel::can {

// A message as the reader met it: the profile's message and what decides whether it is sent.
struct RawMessage {
  Message message;
  std::uint32_t raw_id = 0;
  bool nested = false;                 // a signal both multiplexed and a multiplexor (mNM)
  bool extended_multiplexing = false;  // SG_MUL_VAL_
  bool cycle_given = false;
  bool floats = false;
};

// Keeps the first MAX_PROBLEMS problems, and counts the rest.
void add_problem(Profile& profile, std::size_t line, std::string text);

// The pages of a multiplexed message, or why it is no multiplexed message the sender takes.
bool read_pages(Message& message, Profile& profile);
// Signals of one page, or of every page, may not share a bit; signals of two pages may.
void check_overlaps(const Message& message, Profile& profile);
// Identifiers and names used once: messages by both, signals by name within a message.
void check_names(const std::vector<RawMessage>& messages, Profile& profile);
// Each source reads; checksums and counters have the room they need.
void check_sources(const Message& message, Profile& profile);

}  // namespace vontrel::can

#endif  // VONTREL_CAN_DBC_CHECKS_H
