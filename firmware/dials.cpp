#include "dials.h"

#include <avr/pgmspace.h>
#include <stddef.h>

#include "config.h"
#include "gauges.h"

namespace vontrel {
namespace dials {

// A point as config.h writes it. Only the compiler sees these: what goes into flash is a Table.
struct Written {
  double value;
  long position;
};

template <size_t N>
struct Table {
  uint8_t count;
  Point points[N];
};

// The fine units of each table for one of its own (see Point).
constexpr double KMH = 94;
constexpr double MPH = 94 * 1.609344;
constexpr double SPEED_UNITS = VONTREL_SPEED_MPH ? MPH : KMH;
constexpr double RPM_UNITS = 4;
constexpr double FUEL_UNITS = 1;
constexpr double WATER_UNITS = 3;

// Far enough for any dial, near enough that a segment's span times a position fits 31 bits.
constexpr double MOST_FINE = 100000;

constexpr int32_t fine(double value, double units) {
  return static_cast<int32_t>(value * units < 0 ? value * units - 0.5 : value * units + 0.5);
}

// The Arduino IDE compiles sketches as C++11: one return statement to a constexpr function, so
// the table is built from a pack of its indices.
template <size_t... I>
struct Indices {};
template <size_t N, size_t... I>
struct MakeIndices : MakeIndices<N - 1, N - 1, I...> {};
template <size_t... I>
struct MakeIndices<0, I...> {
  using type = Indices<I...>;
};

template <size_t N, size_t... I>
constexpr Table<N> table(const Written (&written)[N], double units, Indices<I...>) {
  return Table<N>{
      static_cast<uint8_t>(N),
      {Point{fine(written[I].value, units), static_cast<uint16_t>(written[I].position)}...}};
}
template <size_t N>
constexpr Table<N> table(const Written (&written)[N], double units) {
  return table(written, units, typename MakeIndices<N>::type{});
}

template <size_t N>
constexpr size_t count(const Written (&)[N]) {
  return N;
}

// Point `n` (counted from 1, as a player reads the table), true when the table has no such point.
template <size_t N>
constexpr bool rises(const Written (&written)[N], size_t n) {
  return n > N || written[n - 1].value > written[n - 2].value;
}
template <size_t N>
constexpr bool within(const Written (&written)[N], size_t n, long top) {
  return n > N || (written[n - 1].position >= 0 && written[n - 1].position <= top);
}
template <size_t N>
constexpr bool near(const Written (&written)[N], size_t n, double units) {
  return n > N ||
         (written[n - 1].value * units <= MOST_FINE && written[n - 1].value * units >= -MOST_FINE);
}

// The checks of one table, point by point, so that the compiler's message names the point.
#define VONTREL_CHECK_POINT(dial, points, top, units, n, before)                             \
  static_assert(rises(points, n), dial " table: point " #n " is not above point " #before    \
                                       " (the values must rise)");                           \
  static_assert(within(points, n, top),                                                      \
                dial " table: point " #n "'s needle position is beyond the needle's range"); \
  static_assert(near(points, n, units), dial " table: point " #n "'s value is out of reach")
#define VONTREL_CHECK_TABLE(dial, points, top, units)                                    \
  static_assert(count(points) <= 16, dial " table: more than 16 points");                \
  static_assert(within(points, 1, top),                                                  \
                dial " table: point 1's needle position is beyond the needle's range");  \
  static_assert(near(points, 1, units), dial " table: point 1's value is out of reach"); \
  VONTREL_CHECK_POINT(dial, points, top, units, 2, 1);                                   \
  VONTREL_CHECK_POINT(dial, points, top, units, 3, 2);                                   \
  VONTREL_CHECK_POINT(dial, points, top, units, 4, 3);                                   \
  VONTREL_CHECK_POINT(dial, points, top, units, 5, 4);                                   \
  VONTREL_CHECK_POINT(dial, points, top, units, 6, 5);                                   \
  VONTREL_CHECK_POINT(dial, points, top, units, 7, 6);                                   \
  VONTREL_CHECK_POINT(dial, points, top, units, 8, 7);                                   \
  VONTREL_CHECK_POINT(dial, points, top, units, 9, 8);                                   \
  VONTREL_CHECK_POINT(dial, points, top, units, 10, 9);                                  \
  VONTREL_CHECK_POINT(dial, points, top, units, 11, 10);                                 \
  VONTREL_CHECK_POINT(dial, points, top, units, 12, 11);                                 \
  VONTREL_CHECK_POINT(dial, points, top, units, 13, 12);                                 \
  VONTREL_CHECK_POINT(dial, points, top, units, 14, 13);                                 \
  VONTREL_CHECK_POINT(dial, points, top, units, 15, 14);                                 \
  VONTREL_CHECK_POINT(dial, points, top, units, 16, 15)

constexpr Written SPEED[] = {VONTREL_SPEED_POINTS};
constexpr Written RPM[] = {VONTREL_RPM_POINTS};
constexpr Written FUEL[] = {VONTREL_FUEL_POINTS};
constexpr Written WATER[] = {VONTREL_WATER_POINTS};

#if VONTREL_NEEDLES == VONTREL_NEEDLES_PWM
static_assert(VONTREL_NEEDLE_FULL == gauges::NEEDLE_TOP, "the PWM needles' top");
#endif
VONTREL_CHECK_TABLE("speed", SPEED, VONTREL_NEEDLE_FULL, SPEED_UNITS);
VONTREL_CHECK_TABLE("rpm", RPM, VONTREL_NEEDLE_FULL, RPM_UNITS);
VONTREL_CHECK_TABLE("fuel", FUEL, gauges::GAUGE_TOP, FUEL_UNITS);
VONTREL_CHECK_TABLE("water", WATER, gauges::GAUGE_TOP, WATER_UNITS);

}  // namespace dials
}  // namespace vontrel

extern "C" {
using vontrel::dials::Table;
extern const Table<sizeof vontrel::dials::SPEED / sizeof vontrel::dials::SPEED[0]>
    vontrel_speed_dial;
extern const Table<sizeof vontrel::dials::RPM / sizeof vontrel::dials::RPM[0]> vontrel_rpm_dial;
extern const Table<sizeof vontrel::dials::FUEL / sizeof vontrel::dials::FUEL[0]> vontrel_fuel_dial;
extern const Table<sizeof vontrel::dials::WATER / sizeof vontrel::dials::WATER[0]>
    vontrel_water_dial;
const decltype(vontrel_speed_dial) vontrel_speed_dial PROGMEM __attribute__((used)) =
    vontrel::dials::table(vontrel::dials::SPEED, vontrel::dials::SPEED_UNITS);
const decltype(vontrel_rpm_dial) vontrel_rpm_dial PROGMEM __attribute__((used)) =
    vontrel::dials::table(vontrel::dials::RPM, vontrel::dials::RPM_UNITS);
const decltype(vontrel_fuel_dial) vontrel_fuel_dial PROGMEM __attribute__((used)) =
    vontrel::dials::table(vontrel::dials::FUEL, vontrel::dials::FUEL_UNITS);
const decltype(vontrel_water_dial) vontrel_water_dial PROGMEM __attribute__((used)) =
    vontrel::dials::table(vontrel::dials::WATER, vontrel::dials::WATER_UNITS);
}

namespace vontrel {
namespace dials {

namespace {

// The straight line between the two points around `at`, or the end point beyond them. Integer
// division as the line falls: a needle's position never passes the point it heads for.
uint16_t along(const Point* points, uint8_t count, int32_t at) {
  int32_t before_at = static_cast<int32_t>(pgm_read_dword(&points[0].at));
  int32_t before = static_cast<int32_t>(pgm_read_word(&points[0].position));
  if (at <= before_at) {
    return static_cast<uint16_t>(before);
  }
  for (uint8_t i = 1; i < count; ++i) {
    const int32_t next_at = static_cast<int32_t>(pgm_read_dword(&points[i].at));
    const int32_t next = static_cast<int32_t>(pgm_read_word(&points[i].position));
    if (at <= next_at) {
      return static_cast<uint16_t>(before +
                                   (at - before_at) * (next - before) / (next_at - before_at));
    }
    before_at = next_at;
    before = next;
  }
  return static_cast<uint16_t>(before);
}

template <typename T>
uint16_t along(const T& table, int32_t at) {
  return along(table.points, static_cast<uint8_t>(sizeof table.points / sizeof table.points[0]),
               at);
}

}  // namespace

// The wire's speed value is km/h times 9.4: ten times it is km/h in 94ths, the unit a table in
// mph was converted to as well.
uint16_t speed(uint16_t speed_value) {
  return along(vontrel_speed_dial, static_cast<int32_t>(speed_value) * 10);
}

uint16_t rpm(uint8_t rpm_byte) {
  return along(vontrel_rpm_dial, static_cast<int32_t>(rpm_byte) * 125);  // quarters of a rpm
}

uint8_t fuel(uint8_t percent) {
  return static_cast<uint8_t>(along(vontrel_fuel_dial, percent));
}

uint8_t water(uint8_t gauge) {
  return static_cast<uint8_t>(along(vontrel_water_dial, gauges::water_thirds(gauge)));
}

}  // namespace dials
}  // namespace vontrel
