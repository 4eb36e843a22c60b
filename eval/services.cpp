// The evaluator services table (eval/api.hpp): the evaluator's own functions.
#include "eval/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/lexer.hpp"

namespace qel::api {

namespace {

void do_block(const Cell* block) { interp::eval_block_or_throw(block, false); }

}  // namespace

Services services = {
    .do_block = do_block,
    .load_first = lexer::load_first_value,
    .load_all = lexer::load_all,
    .text_to_integer = lexer::text_to_integer,
    .text_to_float = lexer::text_to_float,
};

}  // namespace qel::api
