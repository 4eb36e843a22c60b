// date!: a calendar date with an optional time of day and time zone.
//
// Cell: header type 47; word 1 the packed date; words 2-3 the time of day as
// float64 seconds, stored in UTC.
// Packed date word:
//   bits 17-31 year, signed (-16384 .. 16383)    bit 16 time present
//   bits 12-15 month 1-12                         bit 6  zone west of UTC
//   bits 7-11  day 1-31                           bits 2-5 zone hours 0-15
//                                                 bits 0-1 zone quarter hours
// Invariant: the packed word holds the LOCAL calendar date, the stored time
// is UTC, and local time of day = stored time + zone offset lies in
// [0, 86400) after every normalisation. The instant is therefore
// day number * 86400 + stored time, whatever the zone: dates compare and
// sort by it. Without a time the stored time is 0.
//
// Day numbers count days since 1 March of year 0 (proleptic Gregorian);
// every setter goes through them, so overflowing days and months carry.
#pragma once

#include "runtime/cell.hpp"

namespace qel::date {

void init();  // registers date!

inline constexpr u32 TIME_FLAG = 1u << 16;
inline constexpr u32 ZONE_MASK = 0x7F;
inline constexpr u32 ZONE_WEST = 0x40;

inline i32 year(u32 w) { return i32(w) >> 17; }
inline i32 month(u32 w) { return i32((w >> 12) & 15); }
inline i32 day(u32 w) { return i32((w >> 7) & 31); }
inline bool has_time(u32 w) { return (w & TIME_FLAG) != 0; }
inline u32 zone_bits(u32 w) { return w & ZONE_MASK; }

inline u32 packed(const Cell* c) { QEL_CHECK_TYPE(c, TYPE_DATE); return c->w1; }
inline void set_packed(Cell* c, u32 w) { c->w1 = w; }
inline double stored_time(const Cell* c) { return float_of(c); }

// Zone bits from signed hours and minutes (minutes cut to quarter hours;
// with 0 hours the minutes carry the sign).
u32 zone_from(i32 hours, i32 minutes);
i32 zone_seconds(u32 zone);

i64 to_days(u32 packed_word);
u32 from_days(i64 days, u32 zone, bool time_flag);
bool leap_year_q(i32 year);
// Brings (days, utc time) into the invariant for the zone.
void normalize(i64& days, double& time, u32 zone);

// Time given as local seconds when time_flag is set.
Cell* make_at(Cell* cell, i32 year, i32 month, i32 day, double time, i32 zone_hours,
              i32 zone_minutes, bool time_flag);
Cell* make_at_hms(Cell* cell, i32 year, i32 month, i32 day, i32 hour, i32 minute, i32 second,
                  i32 nanoseconds);
Cell* make_in(u32 block, u32 packed_word, double time);
Cell* push(u32 packed_word, double time);

// Seconds since 1970-01-01T00:00 UTC; script type-limit when it leaves 32 bits.
i32 to_epoch(const Cell* date);
// a - b as a time! into a's cell.
void difference(Cell* a, const Cell* b);

// The week and day-of-year literal forms: the date becomes the Monday of ISO
// week n, weekday n of its week, or day n of its year.
void set_week(Cell* c, i32 n);
void set_weekday(Cell* c, i32 n);
void set_yearday(Cell* c, i32 n);

// The local time of day of a date (stored time + zone offset).
double local_time(const Cell* c);

}  // namespace qel::date
