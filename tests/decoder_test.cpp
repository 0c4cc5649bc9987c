// The reference decoder against the plug-in's own encoder: what a cluster reads off each
// snapshot, lamp by lamp and needle by needle.
#include "protocol/decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "dashboard/frame_cycle.h"

namespace vontrel {
namespace {

struct RoundTrip {
  const char* what;
  std::function<void(TelemetryState&)> set;
  std::function<void(const ClusterState&)> check;
};

void PrintTo(const RoundTrip& c, std::ostream* out) {
  *out << c.what;
}

class decoder_round_trip_test : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(decoder_round_trip_test, reads_what_the_plug_in_sent) {
  TelemetryState snapshot{};
  GetParam().set(snapshot);
  std::array<std::uint8_t, CYCLE_LENGTH> cycle{};
  encode_cycle(snapshot, Settings{}, cycle.data());
  Decoder decoder;
  for (const std::uint8_t byte : cycle) {
    decoder.push(byte);
  }
  EXPECT_EQ(decoder.cycles(), 1u);
  EXPECT_TRUE(decoder.cycle_completed());
  EXPECT_EQ(decoder.torn(), 0u);
  GetParam().check(decoder.state());
}

const auto lamp = [](std::function<void(TelemetryState&)> set, std::uint16_t expected) {
  return RoundTrip{"lamp", std::move(set), [expected](const ClusterState& s) {
                     // Without electrics the power lamps stay dark; only `expected` lights.
                     EXPECT_EQ(s.lamps, expected);
                   }};
};

INSTANTIATE_TEST_SUITE_P(
    snapshots, decoder_round_trip_test,
    ::testing::Values(
        RoundTrip{"needles",
                  [](TelemetryState& s) {
                    s.speed = 25.0f;  // 90 km/h
                    s.engine_rpm = 1500.0f;
                    s.water_temperature = 90.0f;
                    s.fuel_amount = 200.0f;
                    s.fuel_capacity = 400.0f;
                  },
                  [](const ClusterState& s) {
                    EXPECT_EQ(s.speed_value, 846);
                    EXPECT_EQ(speed_kmh_tenths(s.speed_value), 900);
                    EXPECT_EQ(engine_rpm(s.rpm_byte), 1500);
                    EXPECT_EQ(water_celsius(s.water_gauge), 90);
                    EXPECT_EQ(s.fuel_percent, 50);
                  }},
        RoundTrip{"clock and date",
                  [](TelemetryState& s) { s.game_time = 1154u * 1440u + 23u * 60u + 59u; },
                  [](const ClusterState& s) {
                    EXPECT_EQ(s.hours, 23);
                    EXPECT_EQ(s.minutes, 59);
                    EXPECT_EQ(s.day, 29);
                    EXPECT_EQ(s.month, 2);
                    EXPECT_EQ(s.year, 4);
                    EXPECT_TRUE(s.debug);
                  }},
        lamp([](TelemetryState& s) { s.brake_parking = true; }, LAMP_PARKING_BRAKE),
        lamp([](TelemetryState& s) { s.light_parking = true; }, LAMP_PARKING_LIGHTS),
        lamp([](TelemetryState& s) { s.battery_voltage_warning = true; }, LAMP_BATTERY),
        lamp([](TelemetryState& s) { s.electric_enabled = true; },
             LAMP_ELECTRICS | LAMP_ENGINE_STOPPED),
        lamp([](TelemetryState& s) { s.fuel_warning = true; }, LAMP_FUEL),
        lamp([](TelemetryState& s) { s.cruise_control = 22.0f; }, LAMP_CRUISE_CONTROL),
        lamp([](TelemetryState& s) { s.oil_pressure_warning = true; }, LAMP_OIL_PRESSURE),
        lamp([](TelemetryState& s) { s.brake_air_pressure_emergency = true; }, LAMP_AIR_PRESSURE),
        lamp([](TelemetryState& s) { s.wear_cabin = 0.15f; }, LAMP_WEAR),
        lamp([](TelemetryState& s) { s.light_beam_high = true; }, LAMP_HIGH_BEAM),
        lamp([](TelemetryState& s) { s.light_lblinker = true; }, LAMP_LEFT_BLINKER),
        lamp([](TelemetryState& s) { s.light_rblinker = true; }, LAMP_RIGHT_BLINKER)));

TEST(decoder_test, reset_frame_clears_the_cluster_and_noise_is_counted_once_a_run) {
  Decoder decoder;
  TelemetryState snapshot{};
  snapshot.speed = 25.0f;
  snapshot.light_lblinker = true;
  std::array<std::uint8_t, CYCLE_LENGTH> cycle{};
  encode_cycle(snapshot, Settings{}, cycle.data());
  const std::uint8_t noise[] = {0x12, 0x34, 0xFF, 0x00};
  for (const std::uint8_t byte : noise) {
    decoder.push(byte);
  }
  for (const std::uint8_t byte : cycle) {
    decoder.push(byte);
  }
  EXPECT_EQ(decoder.torn(), 1u);
  EXPECT_EQ(decoder.state().speed_value, 846);
  for (const std::uint8_t byte : RESET_FRAME) {
    decoder.push(byte);
  }
  EXPECT_EQ(decoder.resets(), 1u);
  EXPECT_EQ(decoder.state().speed_value, 0);
  EXPECT_EQ(decoder.state().lamps, 0);
}

// A cycle cut short anywhere (the cluster stopped taking data mid-write) costs only itself:
// the whole cycle behind it is decoded, wherever the cut fell, a cut right after a frame's
// FF 04 among them (docs/protocol.md: FF is no id).
TEST(decoder_test, after_a_torn_cycle_the_next_whole_cycle_is_decoded_wherever_the_tear_fell) {
  TelemetryState before{};
  before.speed = 10.0f;
  TelemetryState after{};
  after.speed = 25.0f;  // 846 on the wire
  std::array<std::uint8_t, CYCLE_LENGTH> torn{};
  std::array<std::uint8_t, CYCLE_LENGTH> whole{};
  encode_cycle(before, Settings{}, torn.data());
  encode_cycle(after, Settings{}, whole.data());
  std::vector<std::size_t> lost;
  for (std::size_t cut = 1; cut < CYCLE_LENGTH; ++cut) {
    Decoder decoder;
    for (std::size_t i = 0; i < cut; ++i) {
      decoder.push(torn[i]);
    }
    for (const std::uint8_t byte : whole) {
      decoder.push(byte);
    }
    if (decoder.cycles() != 1 || decoder.state().speed_value != 846) {
      lost.push_back(cut);
    }
  }
  EXPECT_EQ(lost, std::vector<std::size_t>{}) << "cut after these many bytes";
}

// A firmware that sleeps between bytes wakes when bytes_to_cycle() have come: never later than
// the byte that completes a cycle, and on a clean line exactly at it.
TEST(decoder_test, the_bytes_to_a_cycle_are_never_more_than_come_before_it) {
  std::array<std::uint8_t, CYCLE_LENGTH> cycle{};
  encode_cycle(TelemetryState{}, Settings{}, cycle.data());
  std::vector<std::uint8_t> stream(RESET_FRAME, RESET_FRAME + RESET_FRAME_LENGTH);
  stream.insert(stream.end(), cycle.begin(), cycle.end());
  const std::size_t clean_end = stream.size();
  // Then the troubles of a real line: noise, a header in the noise, a cycle cut short, a
  // reset frame in the middle of a cycle, and frames out of order.
  const std::uint8_t noise[] = {0x12, 0x34, 0xFF, 0x04, 0x77, 0xFF};
  stream.insert(stream.end(), std::begin(noise), std::end(noise));
  stream.insert(stream.end(), cycle.begin(), cycle.begin() + 40);
  stream.insert(stream.end(), cycle.begin(), cycle.begin() + 30);
  stream.insert(stream.end(), RESET_FRAME, RESET_FRAME + RESET_FRAME_LENGTH);
  stream.insert(stream.end(), cycle.begin() + FRAME_LENGTH, cycle.end());
  stream.insert(stream.end(), cycle.begin(), cycle.end());
  stream.insert(stream.end(), cycle.begin(), cycle.end());

  // Where each cycle completes, from a first pass.
  std::vector<std::size_t> completions;
  {
    Decoder decoder;
    for (std::size_t i = 0; i < stream.size(); ++i) {
      const std::uint32_t before = decoder.cycles();
      decoder.push(stream[i]);
      if (decoder.cycles() != before) {
        completions.push_back(i + 1);
      }
    }
  }
  ASSERT_EQ(completions.size(), 3u);
  ASSERT_EQ(completions.front(), clean_end);
  ASSERT_EQ(completions.back(), stream.size());

  Decoder decoder;
  for (std::size_t pushed = 0; pushed < stream.size(); ++pushed) {
    const std::size_t next = *std::upper_bound(completions.begin(), completions.end(), pushed);
    if (next > pushed) {
      EXPECT_LE(decoder.bytes_to_cycle(), next - pushed) << "after byte " << pushed;
    }
    if (pushed >= RESET_FRAME_LENGTH && pushed < clean_end) {
      EXPECT_EQ(decoder.bytes_to_cycle(), clean_end - pushed) << "after byte " << pushed;
    }
    decoder.push(stream[pushed]);
  }
  EXPECT_EQ(decoder.bytes_to_cycle(), CYCLE_LENGTH);  // a whole cycle after the last one
}

}  // namespace
}  // namespace vontrel
