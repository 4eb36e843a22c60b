#include "datatypes/ref.hpp"

#include "datatypes/string.hpp"
#include "runtime/actions.hpp"

namespace qel::ref {

namespace {

i32 h_mold(Cell* ref, Cell* buffer, bool, bool, bool, Cell* part, i32 budget, i32) {
  budget = string::write_ascii(buffer, "@", budget);
  return string::form(ref, buffer, part, budget);
}

}  // namespace

void init() {
  ActionTable t;  // the string's, but for these
  t.mold = h_mold;
  t.random = nullptr;
  t.eval_path = nullptr;
  t.append = nullptr;
  t.put = nullptr;
  types::register_datatype({TYPE_REF, TYPE_STRING, "ref!", t});
}

}  // namespace qel::ref
