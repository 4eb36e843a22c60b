// money!: an exact decimal amount with an optional currency, 17 digits
// before the point and 5 after, held in one cell.
//
// Cell, byte by byte: 0-3 header (type 49; bit 14 the sign, 1 negative);
// 4 the currency index (0 none, else the 1-based position of the currency
// word in system/locale/currencies/list, which is only ever appended to);
// 5-15 22 BCD digits, two a byte, high nibble first, most significant digit
// first: digits 1-17 the integer part, 18-22 the fraction.
//
// Arithmetic runs on the digits read as one scaled 128-bit integer (the
// amount times 100000); every result that does not fit 22 digits raises
// script type-limit, nothing is ever silently cut but the digits beyond the
// fifth fraction digit (which are dropped, not rounded). Zero is never
// negative: the sign of an all-zero amount is ignored.
#pragma once

#include "runtime/cell.hpp"

namespace qel::money {

void init();  // registers money!

__extension__ typedef __int128 Amount;  // the amount times 10^5, signed

inline constexpr int DIGITS = 22;
inline constexpr int INT_DIGITS = 17;
inline constexpr int FRACTION_DIGITS = 5;

u32 currency(const Cell* c);
bool negative_bit(const Cell* c);
// The signed amount times 10^5.
Amount amount(const Cell* c);
// Writes the amount (|a| < 10^22) and the currency; keeps the new-line flag.
Cell* make_at(Cell* cell, Amount a, u32 currency);
// Raw construction: sign, currency index and the 11 digit bytes.
Cell* make_at_bcd(Cell* cell, bool negative, u32 currency, const u8* bytes);
void bcd_bytes(const Cell* c, u8* out);  // the 11 digit bytes

// The 1-based index of a currency word (case-insensitive), -1 when unknown.
i32 currency_index(u32 symbol);

Cell* from_integer(i32 v);                  // pushed
Cell* from_float(double d, bool strict);    // pushed; script bad-make-arg
double to_float(const Cell* c);
i32 to_integer(const Cell* c);  // script type-limit with integer! beyond 32 bits

i32 sign(const Cell* c);
inline bool zero_q(const Cell* c) { return sign(c) == 0; }

// A money text: optional sign, optional three-letter code, "$", integer
// digits (apostrophes between them), an optional fraction of 1-5 digits after
// "." or ",". False for a bad form, more than 17 integer digits, or an
// unknown currency.
bool parse(const u8* p, const u8* end, Amount& out, u32& currency);

}  // namespace qel::money
