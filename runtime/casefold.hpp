// Case folding of code points: the simple (one code point to one code point)
// upper- and lowercase mappings of the Unicode Character Database.
//
// Code points U+0000-U+FFFF fold with one read of a direct table (an entry
// of 0 means the code point maps to itself); code points above U+FFFF are
// looked up in short sorted pair lists. The tables come from
// runtime/case_tables.inc, written by tools/gen_case_tables.py.
// Code points without a simple mapping stay as they are: U+00DF (sharp s)
// has no simple uppercase, so it does not change (a pair mapping it to S
// would turn "straße" into "STRASE", a different text).
#pragma once

#include "runtime/cell.hpp"

namespace qel::casefold {

// Fills the direct tables (later calls do nothing); the first character
// past ASCII that folds fills them.
void init();

// fold_case_char past ASCII.
u32 fold_case_wide(u32 cp, bool upper);

// The uppercase (upper set) or lowercase mapping of cp, or cp itself.
// Callers that fold for comparison or hashing pass upper = true. ASCII, by
// far the most folded, maps its letters only and reads no table.
inline u32 fold_case_char(u32 cp, bool upper) {
  if (cp < 0x80) {
    if (upper) return cp - 'a' < 26 ? cp - 32 : cp;
    return cp - 'A' < 26 ? cp + 32 : cp;
  }
  return fold_case_wide(cp, upper);
}
inline u32 upper(u32 cp) { return fold_case_char(cp, true); }
inline u32 lower(u32 cp) { return fold_case_char(cp, false); }


}  // namespace qel::casefold
