// percent!: a float! shown as a percentage. The cell is a float! cell with
// type 38; 1.0 means 100%. Everything but form and mold is float!'s.
#pragma once

#include "runtime/cell.hpp"

namespace qel::percent {

void init();  // registers percent! (after float!, its parent)

Cell* make_at(Cell* cell, double d);  // keeps the cell's flag bits
Cell* make_in(u32 block, double d);
Cell* push(double d);

}  // namespace qel::percent
