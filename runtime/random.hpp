// The process-wide pseudo-random generator (a Mersenne-twister variant whose
// right shifts are arithmetic, so every draw lies in 0 .. 2147483647) and the
// secure source.
#pragma once

#include "runtime/cell.hpp"

namespace qel::random {

void init();             // seeds with 19650218
void seed(i32 s);
i32 next();              // 0 .. 2147483647
i32 secure();            // 0 .. 2147483647, from the OS
// 0 for n = 0; 1 .. n for n > 0; -1 .. n for n < 0, every value equally likely.
i32 range(bool secure, i32 n);

}  // namespace qel::random
