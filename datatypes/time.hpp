// time!: a duration or a time of day, held as a number of seconds in a
// double (the float! cell layout, type 43; negative values allowed). It
// inherits random, compare, absolute, negate and remainder from float!, and
// its arithmetic goes through the float! worker, which keeps the time! type.
//
// Fields: 1 hour, 2 minute, 3 second. A time reads as a sign and the
// magnitudes h:mm:ss: hour is the whole hours with the time's sign, minute
// the minutes within the hour (never negative), second the seconds within
// the minute with the time's sign (a float!). Setting a field keeps that
// reading: the other fields keep their magnitudes and the time its sign (a
// non-zero hour sets the sign).
#pragma once

#include "runtime/cell.hpp"

namespace qel::time {

void init();  // registers time! (after float!)

inline constexpr i32 FIELD_HOUR = 1;
inline constexpr i32 FIELD_MINUTE = 2;
inline constexpr i32 FIELD_SECOND = 3;

Cell* make_at(double seconds, Cell* cell);  // keeps the cell's flag bits
Cell* make_in(u32 block, double seconds);
Cell* push(double seconds);

// seconds / 3600 truncated toward zero (a double: it may exceed 32 bits).
double get_hours(double seconds);
// floor(fmod(|seconds|, 3600) / 60).
i32 get_minutes(double seconds);
// The field index of hour, minute or second; any other word raises script
// cannot-use (word, value) when the value is a time!, else answers -1.
i32 get_field(const Cell* word, const Cell* value);
// Pushes the field: hour and minute as integer!, second as float!. An hour
// beyond the 32-bit range raises script type-limit.
Cell* field_value(const Cell* time, i32 field);

// Appends the h:mm:ss text of the seconds to the string and answers the
// budget less the characters written. The seconds are written with up to six
// significant digits and never as 60: a value that rounds to a whole minute
// carries into the minutes and hours.
// With exact (mold), the seconds are written with the shortest digits that
// read back to the same value, so that the text loads back equal; otherwise
// (form) with at most six decimals.
i32 form(double seconds, Cell* buffer, i32 limit, bool exact = false);

}  // namespace qel::time
