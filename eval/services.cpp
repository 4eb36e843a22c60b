// The evaluator services table (eval/api.hpp): the evaluator's own functions.
#include "eval/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/lexer.hpp"

namespace qel::api {

namespace {

void do_block(const Cell* block) { interp::eval_block_or_throw(block, false); }
const Cell* current_code() { return interp::current_code(); }
void error_raised(Cell* error) {
  if (interp::trace) interp::fire_event(interp::EV_ERROR, nullptr, 0, nullptr, error);
}

}  // namespace

Services services = {
    .do_block = do_block,
    .load_first = lexer::load_first_value,
    .load_all = lexer::load_all,
    .text_to_integer = lexer::text_to_integer,
    .text_to_float = lexer::text_to_float,
    .current_code = current_code,
    .error_raised = error_raised,
};

}  // namespace qel::api
