#include "runtime/fastpath.hpp"

#include "runtime/actions.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::fast {
namespace {

Cell g_anon_word{TYPE_WORD, 0, 0, 0};

const Cell* name_of(const Cell* word) { return word ? word : &g_anon_word; }

Action math_action(int op) {
  switch (op) {
    case OP_ADD: return ACT_add;
    case OP_SUB: return ACT_subtract;
    case OP_MUL: return ACT_multiply;
    case OP_OR: return ACT_or_t;
    case OP_AND: return ACT_and_t;
    default: return ACT_xor_t;
  }
}

// Generic path: a native frame named by the word, the two operands, the entry.
Cell* fallback(Action a, const Cell* word, const Cell* left, const Cell* right) {
  Cell l = *left, r = *right;  // the operands may sit where the frame will write
  stack::mark_native(name_of(word));
  stack::push_cell(&l);
  stack::push_cell(&r);
  actions::entry(a)(nullptr);
  stack::unwind_last();
  return stack::last();
}

Cell* float_result(int op, double a, double b) {
  double r = op == OP_ADD ? a + b : op == OP_SUB ? a - b : a * b;
  return make_float(stack::push(), r);
}

}  // namespace

Cell* math(int op, const Cell* word, const Cell* left, const Cell* right) {
  Type lt = type_of(left), rt = type_of(right);
  if (lt == TYPE_INTEGER && rt == TYPE_INTEGER) {
    i32 r;
    if (int_op(op, int_of(left), int_of(right), &r)) return make_integer(stack::push(), r);
    return float_result(op, double(int_of(left)), double(int_of(right)));
  }
  if (lt == TYPE_FLOAT && rt == TYPE_FLOAT && op <= OP_MUL) {
    return float_result(op, float_of(left), float_of(right));
  }
  return fallback(math_action(op), word, left, right);
}

Cell* math_int(int op, const Cell* word, const Cell* left, i32 n) {
  Cell right;
  make_integer(&right, n);
  if (type_of(left) == TYPE_INTEGER) {
    i32 r;
    if (int_op(op, int_of(left), n, &r)) return make_integer(stack::push(), r);
    return float_result(op, double(int_of(left)), double(n));
  }
  return fallback(math_action(op), word, left, &right);
}

void math_into(int op, const Cell* word, const Cell* right) {
  Cell left = *stack::last();
  Cell* r = math(op, word, &left, right);
  Cell result = *r;
  stack::pop(1);
  copy_cell(&result, stack::last());
}

void math_int_into(int op, const Cell* word, i32 n) {
  Cell left = *stack::last();
  Cell* r = math_int(op, word, &left, n);
  Cell result = *r;
  stack::pop(1);
  copy_cell(&result, stack::last());
}

bool generic_compare(int op, const Cell* word, const Cell* left, const Cell* right) {
  Cell l = *left, r = *right;
  stack::mark_native(name_of(word));
  stack::push_cell(&l);
  stack::push_cell(&r);
  actions::compare_to_logic(op);
  bool b = logic_of(stack::base);
  stack::unwind_last();
  stack::pop(1);
  return b;
}

bool compare_int_q(int op, const Cell* word, const Cell* left, i32 n) {
  if (type_of(left) == TYPE_INTEGER) return int_relation(op, int_of(left), n);
  Cell right;
  make_integer(&right, n);
  return generic_compare(op, word, left, &right);
}

Cell* compare(int op, const Cell* word, const Cell* left, const Cell* right) {
  bool b = compare_q(op, word, left, right);
  return make_logic(stack::push(), b);
}

Cell* pick(const Cell* value, i32 n, const Cell* word) {
  if (type_of(value) == TYPE_BLOCK) {
    mem::Buffer* b = mem::buffer_of(series_node(value));
    i64 remaining = i64(b->used() / sizeof(Cell)) - series_index(value);
    if (n >= 1 && n <= remaining) {
      return stack::push_cell(b->cells() + series_index(value) + (n - 1));
    }
    return make_none(stack::push());
  }
  Cell v = *value, idx;
  make_integer(&idx, n);
  stack::mark_native(name_of(word));
  stack::push_cell(&v);
  stack::push_cell(&idx);
  actions::entry(ACT_eval_path)(nullptr);
  stack::unwind_last();
  return stack::last();
}

Cell* series_op(const Cell* value, int op, const Cell* word) {
  if (type_of(value) == TYPE_BLOCK) {
    mem::Buffer* b = mem::buffer_of(series_node(value));
    i32 index = series_index(value);
    i64 remaining = i64(b->used() / sizeof(Cell)) - index;
    Cell* out = stack::push();
    switch (op) {
      case S_LENGTH: return make_integer(out, remaining < 0 ? 0 : i32(remaining));
      case S_INDEX: return make_integer(out, index + 1);
      case S_HEAD_Q: return make_logic(out, index == 0);
      case S_TAIL_Q: return make_logic(out, remaining < 1);
      case S_NEXT:
        copy_cell(value, out);
        if (remaining >= 1) set_series_index(out, index + 1);
        return out;
      case S_BACK:
        copy_cell(value, out);
        if (index > 0) set_series_index(out, index - 1);
        return out;
      case S_HEAD:
        copy_cell(value, out);
        set_series_index(out, 0);
        return out;
      default:
        copy_cell(value, out);
        set_series_index(out, i32(index + remaining));
        return out;
    }
  }
  static const Action kActions[] = {ACT_length_q, ACT_length_q, ACT_index_q, ACT_head_q,
                                    ACT_tail_q,   ACT_next,     ACT_back,    ACT_head, ACT_tail};
  Cell v = *value;
  stack::mark_native(name_of(word));
  stack::push_cell(&v);
  actions::entry(kActions[op])(nullptr);
  stack::unwind_last();
  return stack::last();
}

}  // namespace qel::fast
