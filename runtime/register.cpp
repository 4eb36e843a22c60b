// Registration of every datatype module, in the fixed order of start-up.
// A parent is always registered before the types that inherit from it.
#include "datatypes/context.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/actions.hpp"

namespace qel::types {

void register_all() {
  // Every id gets its name first, so that types whose module registers later
  // (event!) or not at all can still be named in messages.
#define QEL_X(id, text, c, p)                          \
  if (!names[id].name) {                               \
    names[id].name = text;                             \
    names[id].length = u32(sizeof(text) - 2);          \
  }
  QEL_DATATYPES(QEL_X)
#undef QEL_X
  datatype_type::init();
  unset::init();
  none::init();
  logic::init();
  symbol::init();
  context::init();
  word::init();  // word!, lit-word!, set-word!, get-word!, refinement!
}

}  // namespace qel::types
