#include "decoder.h"

namespace vontrel {

namespace {

uint16_t lamp_if(bool on, Lamp lamp) {
  return on ? static_cast<uint16_t>(lamp) : 0;
}

uint8_t bcd_byte(uint8_t value) {
  return static_cast<uint8_t>(from_bcd(value));
}

}  // namespace

void Decoder::push(uint8_t byte) {
  take(byte);
  // A rejected frame's bytes are looked through again, in order, before the next byte.
  while (replay_length_ > 0) {
    const uint8_t next = replay_[0];
    for (uint8_t i = 1; i < replay_length_; ++i) {
      replay_[i - 1] = replay_[i];
    }
    --replay_length_;
    take(next);
  }
}

uint8_t Decoder::bytes_to_cycle() const {
  // Bytes already held, or held to be looked through again, may be part of it: counting them
  // can only make the answer smaller, never later than the cycle.
  const int left = static_cast<int>((FRAMES_PER_CYCLE - next_in_cycle_) * FRAME_LENGTH) -
                   held_length_ - replay_length_;
  return static_cast<uint8_t>(left < 1 ? 1 : left);
}

void Decoder::finish() {
  for (uint8_t i = 0; i < held_length_; ++i) {
    skip(held_[i]);
  }
  held_length_ = 0;
  end_run(Torn::stream_ended);
}

void Decoder::take(uint8_t byte) {
  if (held_length_ == 0) {
    if (byte == FRAME_START) {
      held_[held_length_++] = byte;
    } else {
      skip(byte);
    }
    return;
  }
  if (held_length_ == 1) {
    if (byte == FRAME_MARKER) {
      end_run(Torn::between_frames);
      held_[held_length_++] = byte;
      return;
    }
    skip(held_[0]);  // that FF started no frame; this one may
    if (byte == FRAME_START) {
      held_[0] = byte;
    } else {
      held_length_ = 0;
      skip(byte);
    }
    return;
  }

  held_[held_length_++] = byte;
  const uint8_t id = held_[2];
  if (held_length_ == 3) {
    if (id == FRAME_START) {
      // No frame has id FF: the FF 04 before it was cut short (a torn cycle's last header),
      // and this FF may begin the next frame's. Taking FF 04 FF as an unknown frame would
      // lose the next cycle's first frame, and with it the whole cycle.
      skip(held_[0]);
      skip(held_[1]);
      held_[0] = FRAME_START;
      held_length_ = 1;
      return;
    }
    if (id != FRAME_ID_RESET && !is_cycle_frame_id(id)) {
      accept(Decoded::unknown, 3);
    }
    return;
  }
  if (id == FRAME_ID_RESET) {
    if (held_length_ < RESET_FRAME_LENGTH) {
      return;
    }
    for (uint8_t i = 2; i < RESET_FRAME_LENGTH; ++i) {
      if (held_[i] != 0) {
        reject_held(Torn::reset_not_zero);
        return;
      }
    }
    accept(Decoded::reset, RESET_FRAME_LENGTH);
    return;
  }
  if (held_length_ < FRAME_LENGTH) {
    return;
  }
  const Torn wrong = frame_malformation(held_);
  if (wrong != Torn::none) {
    reject_held(wrong);
    return;
  }
  accept(Decoded::frame, FRAME_LENGTH);
}

void Decoder::skip(uint8_t byte) {
  in_run_ = true;
  if (listener_ != nullptr) {
    listener_->skipped(byte);
  }
}

void Decoder::end_run(Torn reason) {
  if (!in_run_) {
    return;
  }
  in_run_ = false;
  ++torn_;
  next_in_cycle_ = 0;
  if (listener_ != nullptr) {
    listener_->run_ended(reason);
  }
}

void Decoder::reject_held(Torn reason) {
  // Most likely bytes were lost and the next frame's header fell into this one: skip this
  // header and look through the rest for the next.
  skip(held_[0]);
  skip(held_[1]);
  end_run(reason);
  uint8_t rest[RESET_FRAME_LENGTH];
  uint8_t count = 0;
  for (uint8_t i = 2; i < held_length_; ++i) {
    rest[count++] = held_[i];
  }
  for (uint8_t i = 0; i < replay_length_; ++i) {
    rest[count++] = replay_[i];
  }
  for (uint8_t i = 0; i < count; ++i) {
    replay_[i] = rest[i];
  }
  replay_length_ = count;
  held_length_ = 0;
}

void Decoder::accept(Decoded kind, uint8_t length) {
  held_length_ = 0;
  cycle_completed_ = false;
  const uint8_t id = held_[2];
  if (kind == Decoded::frame) {
    ++frames_;
    apply(held_);
    // Cycles are the seven frames in their order; any other order starts over.
    if (id == CYCLE_FRAME_IDS[0]) {
      next_in_cycle_ = 0;
    }
    if (next_in_cycle_ < FRAMES_PER_CYCLE && CYCLE_FRAME_IDS[next_in_cycle_] == id) {
      if (++next_in_cycle_ == FRAMES_PER_CYCLE) {
        cycle_completed_ = true;
        ++cycles_;
        next_in_cycle_ = 0;
      }
    } else {
      next_in_cycle_ = 0;
    }
  } else {
    next_in_cycle_ = 0;
    if (kind == Decoded::reset) {
      ++resets_;
      state_ = ClusterState{};
    } else {
      ++unknown_;
    }
  }
  if (listener_ != nullptr) {
    listener_->decoded(kind, held_, length);
  }
}

void Decoder::apply(const uint8_t* f) {
  ClusterState& s = state_;
  switch (f[2]) {
    case FRAME_ID_CLOCK:
      s.hours = bcd_byte(f[3]);
      s.minutes = bcd_byte(f[4]);
      s.day = bcd_byte(f[5]);
      s.month = bcd_byte(f[6]);
      s.year = bcd_byte(f[8]);
      break;
    case FRAME_ID_STATUS: {
      const uint16_t mine =
          LAMP_PARKING_BRAKE | LAMP_BATTERY | LAMP_ELECTRICS | LAMP_FUEL | LAMP_CRUISE_CONTROL;
      s.lamps = static_cast<uint16_t>(
          (s.lamps & ~mine) | lamp_if((f[3] & STATUS_PARKING_BRAKE) != 0, LAMP_PARKING_BRAKE) |
          lamp_if((f[5] & STATUS_BATTERY_WARNING) != 0, LAMP_BATTERY) |
          lamp_if(f[9] == STATUS_ELECTRICS_ON, LAMP_ELECTRICS) |
          lamp_if((f[7] & STATUS_FUEL_WARNING) != 0, LAMP_FUEL) |
          lamp_if((f[10] & STATUS_CRUISE_CONTROL) != 0, LAMP_CRUISE_CONTROL));
      s.fuel_percent = f[8];
      break;
    }
    case FRAME_ID_ENGINE: {
      const uint16_t mine = LAMP_OIL_PRESSURE | LAMP_AIR_PRESSURE | LAMP_ENGINE_STOPPED | LAMP_WEAR;
      s.lamps = static_cast<uint16_t>(
          (s.lamps & ~mine) | lamp_if((f[4] & ENGINE_OIL_PRESSURE) != 0, LAMP_OIL_PRESSURE) |
          lamp_if((f[4] & ENGINE_AIR_PRESSURE) != 0, LAMP_AIR_PRESSURE) |
          lamp_if((f[4] & ENGINE_STOPPED) != 0, LAMP_ENGINE_STOPPED) |
          lamp_if((f[5] & ENGINE_WEAR) != 0, LAMP_WEAR));
      s.water_gauge = f[6];
      s.rpm_byte = f[9];
      break;
    }
    case FRAME_ID_SPEED:
      s.speed_value = static_cast<uint16_t>((f[3] << 8) | f[4]);
      break;
    case FRAME_ID_LIGHT: {
      // The parking lights are in both the status and the light frame; the light frame,
      // which comes later in the cycle, has the last word.
      const uint16_t mine =
          LAMP_HIGH_BEAM | LAMP_PARKING_LIGHTS | LAMP_LEFT_BLINKER | LAMP_RIGHT_BLINKER;
      s.lamps = static_cast<uint16_t>(
          (s.lamps & ~mine) | lamp_if((f[4] & LIGHT_HIGH_BEAM) != 0, LAMP_HIGH_BEAM) |
          lamp_if((f[4] & LIGHT_PARKING) != 0, LAMP_PARKING_LIGHTS) |
          lamp_if((f[5] & LIGHT_LEFT_BLINKER) != 0, LAMP_LEFT_BLINKER) |
          lamp_if((f[5] & LIGHT_RIGHT_BLINKER) != 0, LAMP_RIGHT_BLINKER));
      break;
    }
    case FRAME_ID_DEBUG:
      s.debug = f[3] == DEBUG_ON;
      break;
    default:
      break;
  }
}

}  // namespace vontrel
