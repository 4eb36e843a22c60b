// The evaluator services table (runtime/api.hpp): the evaluator's own functions.
#include "eval/action_specs.hpp"
#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/interrupt.hpp"
#include "eval/lexer.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"

namespace qel::api {

namespace {

void do_block(const Cell* block) { interp::eval_block_or_throw(block, false); }
const Cell* current_code() { return interp::current_code(); }
void error_raised(Cell* error) {
  if (interp::trace) interp::fire_event(interp::EV_ERROR, nullptr, 0, nullptr, error);
}

const char* entry_spec(Type source, u32 index) {
  if (index == 0) return nullptr;
  if (source == TYPE_NATIVE) {
    if (index > natives::COUNT) return nullptr;
    const char* text = natives::spec_of(index);
    return text ? text : "";
  }
  if (source != TYPE_ACTION || index > u32(ACTION_COUNT)) return nullptr;
  struct Table {
    const char* text[ACTION_COUNT + 1] = {};
    Table() {
#define QEL_X(slot, word, spec) text[slot] = spec;
      QEL_ACTION_SPECS(QEL_X)
#undef QEL_X
    }
  };
  static const Table table;
  return table.text[index] ? table.text[index] : "";
}

}  // namespace

Services services = {
    .do_block = do_block,
    .load_first = lexer::load_first_value,
    .load_all = lexer::load_all,
    .load_text = lexer::load_source,
    .entry_spec = entry_spec,
    .text_to_integer = lexer::text_to_integer,
    .text_to_float = lexer::text_to_float,
    .current_code = current_code,
    .error_raised = error_raised,
    .interrupt_requested = interrupt::requested,
    .take_interrupt = interrupt::take,
};

}  // namespace qel::api
