// Display width of a code point in a fixed-width terminal, and the memory
// statistics that the stats native reports.
#pragma once

#include "runtime/cell.hpp"

namespace qel {

bool char_in_ranges(u32 cp, const u32* table, u32 value_count);
int char_width(u32 cp);       // 0, 1 or 2
int char_width_cjk(u32 cp);   // ambiguous characters count 2

namespace memstats {
// Mode 1: bytes in use, as a float. Mode 2 and above: appends to the result
// block one block per kind (node frames, series frames, large blocks) and the
// two byte counts (integer!, or float! above 2147483647). Runs with the
// collector disabled.
double bytes_in_use();
void report(u32 result_block_node);
}  // namespace memstats

}  // namespace qel
