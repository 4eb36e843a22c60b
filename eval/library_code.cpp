#include "eval/library_code.hpp"

#include <cstdlib>
#include <unordered_set>

#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/function.hpp"
#include "eval/interpreter_compiled.hpp"
#include "runtime/config.hpp"
#include "runtime/memory.hpp"

namespace qel::library {


namespace {

bool is_block_like(Type t) {
  return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_PATH || t == TYPE_LIT_PATH ||
         t == TYPE_SET_PATH || t == TYPE_GET_PATH;
}

void mark_block(u32 node) {
  if (mem::buffer_of(node)->flags & mem::SERIES_LIBRARY) return;
  mem::buffer_of(node)->flags |= mem::SERIES_LIBRARY;
  u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
  for (u32 k = 0; k < n; ++k) {
    Cell c = mem::buffer_of(node)->cells()[k];
    if (is_block_like(type_of(&c))) mark_block(series_node(&c));
  }
}

void mark_value(const Cell* v, std::unordered_set<u32>& seen, int depth) {
  Type t = type_of(v);
  if (t == TYPE_FUNCTION) {
    Cell body = *function::more_cell(v, function::MORE_BODY);
    if (type_of(&body) == TYPE_BLOCK) mark_block(series_node(&body));
  } else if (t == TYPE_OBJECT && depth < 3) {
    u32 ctx = object::context_of(v);
    if (!seen.insert(ctx).second) return;
    u32 n = context::word_count(ctx);
    for (u32 i = 0; i < n; ++i) {
      Cell* s = context::slot(ctx, i);
      if (s) {
        Cell c = *s;
        mark_value(&c, seen, depth + 1);
      }
    }
  }
}

}  // namespace

void mark_library_code() {
  if (std::getenv(config::TRACE_LIBRARY_ENV)) return;
  // Code compiled before this point took the library's blocks for a script's.
  interp::compiled::forget_all();
  std::unordered_set<u32> seen;
  u32 n = context::word_count(context::global);
  for (u32 i = 0; i < n; ++i) {
    Cell* s = context::slot(context::global, i);
    if (!s) continue;
    Cell c = *s;
    mark_value(&c, seen, 0);
  }
}

}  // namespace qel::library
