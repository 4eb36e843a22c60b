// tag!: a string written between angle brackets, <name attr="x">. A string
// cell with its own type byte; the characters exclude the brackets. Every
// action but form and mold is the string's.
#pragma once

namespace qel::tag {

void init();  // registers tag! (after string!)

}  // namespace qel::tag
