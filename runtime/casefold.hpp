// Case folding of code points: simple (one-to-one) mappings only.
#pragma once

#include "runtime/cell.hpp"

namespace qel::casefold {

void init();            // builds the tables (part of runtime initialisation)
u32 upper(u32 cp);      // the simple uppercase mapping, or cp
u32 lower(u32 cp);      // the simple lowercase mapping, or cp

}  // namespace qel::casefold
