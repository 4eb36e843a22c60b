// The cycle marker of a value (runtime/cycles.hpp): an object is tracked by
// its context, any other value by its series node.
#include "datatypes/object.hpp"
#include "runtime/cycles.hpp"

namespace qel::cycles {

const char* marker(const Cell* value, bool mold) {
  Type t = type_of(value);
  return marker(t == TYPE_OBJECT ? object::context_of(value) : series_node(value), t, mold);
}

}  // namespace qel::cycles
