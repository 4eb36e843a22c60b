// Function makers and the evaluation natives: func, function, does, has, do,
// get, set, print, prin, reduce, compose, apply.
#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/block_walk.hpp"
#include "eval/lexer.hpp"
#include "eval/library_routines.hpp"
#include "eval/natives.hpp"
#include "eval/transfers.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/hooks.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/startup.hpp"
#include "runtime/walk_depth.hpp"
#include "runtime/words.hpp"

namespace qel::natives {

using interp::Status;
using mem::buffer_of;

namespace {

u32 block_cell_count(const Cell* block) { return buffer_of(series_node(block))->used() / sizeof(Cell); }

void clamp_index(Cell* series) {
  i32 n = i32(block_cell_count(series));
  if (series_index(series) > n) set_series_index(series, n);
  if (series_index(series) < 0) set_series_index(series, 0);
}

// Evaluates one expression made of the value alone.
Status eval_single(const Cell* value, interp::ExprMode mode) {
  Cell v = *value;
  u32 node = mem::alloc_cells(1);
  copy_cell(&v, mem::alloc_tail_cell(node));
  roots::NodeRoot hold(&node);
  Cell blk;
  make_series(&blk, TYPE_BLOCK, node);
  interp::Code code{&blk, node, 1};
  u32 pos = 0;
  return interp::eval_expression(code, pos, mode);
}

// The worker of func: validates the spec and makes the function.
void make_function(Cell* spec, Cell* body) {
  clamp_index(spec);
  clamp_index(body);
  u32 flags = function::validate(spec);
  Cell s = *spec, b = *body;
  function::push(&s, &b, 0, 0, 0, flags);
  Cell fn = *stack::last();
  api::set_result(&fn);
}

const Cell* anon_word() {
  static Cell w{TYPE_WORD, 0, 0, 0};
  if (!word::symbol_of(&w)) w = *intern_word("<anon>");
  return &w;
}

}  // namespace

Status func(const i32*) {
  make_function(api::result(), api::arg(1));
  return 0;
}

Status function(const i32* refs) {
  Cell* spec = function::collect_locals(api::result(), api::arg(1), ref(refs, 0) ? ref_arg(refs, 0) : nullptr);
  Cell s = *spec;
  copy_cell(&s, api::result());
  make_function(api::result(), api::arg(1));
  return 0;
}

Status does(const i32*) {
  // A spec with no words, and the body.
  api::Values spec_body(2);
  copy_cell(api::arg(0), spec_body[1]);
  make_series(spec_body[0], TYPE_BLOCK, mem::alloc_cells(1));
  make_function(spec_body[0], spec_body[1]);
  return 0;
}

Status has(const i32*) {
  Cell vars = *api::arg(0);
  clamp_index(&vars);
  u32 n = block_cell_count(&vars) - u32(series_index(&vars));
  u32 spec = mem::alloc_cells(n + 1);
  roots::NodeRoot hold(&spec);
  copy_cell(words::refinement(words::R_LOCAL), mem::alloc_tail_cell(spec));
  for (u32 i = 0; i < n; ++i) {
    Cell c = *(buffer_of(series_node(&vars))->cells() + series_index(&vars) + i);
    copy_cell(&c, mem::alloc_tail_cell(spec));
  }
  make_series(api::result(), TYPE_BLOCK, spec);
  make_function(api::result(), api::arg(1));
  return 0;
}

// ---- do ----------------------------------------------------------------------

// A script file or URL runs through the library's do-file, which takes the
// trace callback and the script arguments.
Status do_script(const i32* refs) {
  Status st;
  {
    api::Values args(3);
    copy_cell(stack::base, args[0]);
    if (ref(refs, 3)) copy_cell(ref_arg(refs, 3), args[1]);
    if (ref(refs, 1)) copy_cell(ref_arg(refs, 1), args[2]);
    Cell fn = *word::get_value_cell(intern_word("do-file"));
    if (type_of(&fn) != TYPE_FUNCTION) fire(Err::internal_not_done);
    api::CallOptions opts;
    opts.name = intern_word("do-file");
    st = api::invoke(&fn, args.data(), 3, stack::base, opts);
  }
  if (!st) api::keep_result();
  return st;
}

Status do_(const i32* refs) {
  Cell value = *api::arg(0);
  if (type_of(&value) == TYPE_FILE || type_of(&value) == TYPE_URL) return do_script(refs);
  // The argument cell receives results (do/next writes the first while the
  // rest of its expression still runs): the value is held here.
  roots::CellRoot hold_value(&value);
  bool next = ref(refs, 2);
  Cell pos_word;
  if (next) pos_word = *ref_arg(refs, 2);
  bool tracing = ref(refs, 3);
  // /expand: directives and macros first (in place, so value stays valid).
  if (ref(refs, 0) && (type_of(&value) == TYPE_BLOCK || type_of(&value) == TYPE_PAREN))
    library::expand_directives(&value);
  if (tracing) interp::trace_start(ref_arg(refs, 3));
  // `return` and `exit` inside pass outward to the function (or the other
  // frame taking them) below, also when this `do` is part of a larger
  // expression; with none below, they end the evaluation of the caller.
  stack::Frame* flagged = stack::return_target(stack::ctop - 2) ? nullptr : stack::set_parent_ctx_flag();
  const stack::Snapshot own;
  Status st = 0;
  try {
    switch (type_of(&value)) {
      case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: {
        if (next) {
          i32 after = 0;
          st = interp::do_next(&value, &after);
          if (!st) {
            Cell r = *api::result();
            Cell moved = value;
            set_type(&moved, TYPE_BLOCK);
            set_series_index(&moved, after);
            word::set(&pos_word, &moved);
            api::set_result(&r);
          }
        } else {
          st = interp::eval_block(&value, true);
          if (!st) api::done();
        }
        break;
      }
      case TYPE_PATH: {
        interp::Code code{nullptr, series_node(&value), 0};
        u32 pos = 0;
        st = interp::eval_path(&value, code, pos, false, false, false, false);
        break;
      }
      case TYPE_STRING: {
        roots::LocalCell block;
        lexer::load_all(&value, block.get());
        st = interp::eval_block(block.get(), true);
        if (!st) api::done();
        break;
      }
      case TYPE_ERROR:
        stack::throw_error(&value);
      default:
        // One expression from the value itself, passive: a function is returned.
        st = eval_single(&value, {.prefix = true, .passive = type_of(&value) != TYPE_WORD});
        break;
    }
  } catch (const Transfer& t) {
    // A return or exit sent as an exception from C++ code inside (an object
    // body, a callback) to the caller's frame lands here as a status again.
    if (!interp::landed_return(t, flagged)) {
      stack::clear_ctx_flag(flagged);
      if (tracing) interp::trace_end();
      throw;
    }
    st = interp::resume_landed(t, own);
  } catch (...) {
    stack::clear_ctx_flag(flagged);
    if (tracing) interp::trace_end();
    throw;
  }
  stack::clear_ctx_flag(flagged);
  if (tracing) interp::trace_end();
  return st;
}

// ---- get and set ---------------------------------------------------------------

Status get(const i32* refs) {
  bool any_flag = ref(refs, 0);
  Cell w = *api::arg(0);
  Type t = type_of(&w);
  if (t == TYPE_OBJECT) {
    Cell values = *actions::handler<act::Reflect>(&w, ACT_reflect)(&w, words::symbol(words::W_VALUES));
    return api::answer(&values);
  }
  if (t == TYPE_PATH || t == TYPE_GET_PATH || t == TYPE_LIT_PATH || t == TYPE_SET_PATH) {
    interp::Code code{nullptr, series_node(&w), 0};
    u32 pos = 0;
    return interp::eval_path(&w, code, pos, false, true, false, ref(refs, 1));
  }
  Cell word = w;
  set_type(&word, TYPE_WORD);
  Cell v = *word::get_value_cell(&word);
  if (type_of(&v) == TYPE_UNSET && !any_flag) fire(Err::script_no_value, &w);
  return api::answer(&v);
}

Status set(const i32* refs) {
  bool any_flag = ref(refs, 0), case_flag = ref(refs, 1), only = ref(refs, 2), some = ref(refs, 3);
  Cell target = *api::arg(0);
  Cell value = *api::arg(1);
  Type t = type_of(&target);
  if (type_of(&value) == TYPE_UNSET && !any_flag) fire(Err::script_need_value, &target);
  if (t == TYPE_PATH || t == TYPE_GET_PATH || t == TYPE_LIT_PATH || t == TYPE_SET_PATH) {
    roots::CellRoot hold_path(&target);  // its argument cell now holds the value
    api::set_result(&value);
    interp::Code code{nullptr, series_node(&target), 0};
    u32 pos = 0;
    Status st = interp::eval_path(&target, code, pos, true, false, false, case_flag);
    api::set_result(&value);
    return st;
  }
  if (t == TYPE_OBJECT) {
    object::set_values(&target, &value, any_flag, only, some);
    return api::answer(&value);
  }
  if (t == TYPE_BLOCK) {
    stack::mark(anon_word(), stack::FRAME_NATIVE);
    bool spread = type_of(&value) == TYPE_BLOCK && !only;
    // Setting a word may run an object's on-change*, which may change either
    // block: both walks read their blocks' current lengths at every step, a
    // word past the words' tail is not set, and a value past the values'
    // tail is none.
    walk::BlockWalk words(&target);
    walk::BlockWalk values(spread ? &value : &target);  // read only when spread
    u32 first = words.pos;
    // Check every word first, so that nothing is set when one is refused.
    for (u32 i = first; i < words.tail(); ++i) {
      Cell w = words.at(i);
      Type wt = type_of(&w);
      if (wt != TYPE_WORD && wt != TYPE_SET_WORD && wt != TYPE_GET_WORD && wt != TYPE_LIT_WORD) {
        fire(Err::script_invalid_arg, &w);
      }
      if (spread && !any_flag) {
        u32 k = values.pos + (i - first);
        if (k >= values.tail()) continue;
        Cell vk = values.at(k);
        if (type_of(&vk) == TYPE_UNSET) fire(Err::script_need_value, &w);
      }
    }
    {
      api::Values v(1);  // the value being set, rooted while handlers run
      for (u32 i = first; i < words.tail(); ++i) {
        Cell w = words.at(i);
        if (spread) {
          u32 k = values.pos + (i - first);
          if (k < values.tail()) *v[0] = values.at(k); else make_none(v[0]);
        } else {
          *v[0] = value;
        }
        if (some && type_of(v[0]) == TYPE_NONE) continue;
        word::set(&w, v[0]);
      }
    }
    stack::unwind();
    return api::answer(&value);
  }
  word::set(&target, &value);
  return api::answer(&value);
}

// ---- print -------------------------------------------------------------------

bool last_lf = true;

namespace {

Status output(bool line_end) {
  Cell value = *api::arg(0);
  api::Values cells(3);  // the text, the value being formed, a block's values
  if (type_of(&value) == TYPE_BLOCK) {
    Status st = reduce_into_new(&value, cells[2]);
    if (st) return st;
    value = *cells[2];
  }
  Cell* text = cells[0];
  if (type_of(&value) == TYPE_STRING) {
    copy_cell(&value, text);
  } else {
    string::make_at(text, 16, 1);
    actions::form(copy_cell(&value, cells[1]), text, nullptr, 0x7FFFFFFF);
  }
  hooks::call_event_hooks(text, line_end ? 1 : 0);
  last_lf = line_end;
  return api::answer_unset();
}

}  // namespace

Status print(const i32*) { return output(true); }
Status prin(const i32*) { return output(false); }

// ---- reduce and compose --------------------------------------------------------

namespace {

// The /into form: inserts the value into out at its index; the native's
// result is out after the insertion.
void insert_into(const Cell* out, const Cell* value, bool only) {
  api::Values cells(2);  // the target and the value inserted
  Cell* series = copy_cell(out, cells[0]);
  Cell* inserted = copy_cell(value, cells[1]);
  Cell* res = actions::handler<act::Insert>(series, ACT_insert)(series, inserted, -1, only, 1, false);
  Cell r = *res;
  copy_cell(&r, api::result());
}

}  // namespace

// Evaluates every expression of the block into a new block, written into out
// (a rooted cell).
void reduce_begin(Cell* out, u32 cells) { make_series(out, TYPE_BLOCK, mem::alloc_cells(cells ? cells : 1)); }

void reduce_append(const Cell* out) {
  Cell* slot = mem::alloc_tail_cell(series_node(out));
  copy_cell(stack::last(), slot);
  clear_new_line(slot);
}

Status reduce_into_new(const Cell* block_in, Cell* out) {
  Cell block = *block_in;
  clamp_index(&block);
  walk::BlockWalk w(&block);
  reduce_begin(out, w.tail() - w.pos);
  while (w.more()) {
    api::Values value;  // the value pushed stays rooted while it is appended
    Status st = interp::eval_next(w.code(), w.pos, true);
    if (st) return st;
    reduce_append(out);
  }
  return 0;
}

Status reduce(const i32* refs) {
  Cell value = *api::arg(0);
  Cell* out = ref_arg(refs, 0);
  Type t = type_of(&value);
  if (t == TYPE_BLOCK) {
    api::Values block(1);
    Status st = reduce_into_new(&value, block[0]);
    if (st) return st;
    if (out) insert_into(out, block[0], false);
    else copy_cell(block[0], api::result());
    return api::done();
  }
  if (t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE || t == TYPE_OP) {
    return api::done();
  }
  Status st = eval_single(&value, {.sub = true});
  if (st) return st;
  Cell r = *stack::last();
  if (out) insert_into(out, &r, true);
  else copy_cell(&r, api::result());
  return api::done();
}

namespace {

// The blocks /deep is inside of, outermost first: a block met again among
// them holds itself and would be composed for ever. A list of its own, not
// the cycle stack, because the parens run user code that molds and copies.
using ComposePath = std::vector<u32>;

// Composes src into the block of node dst (appending), recursively for /deep.
Status compose_into(const Cell* src_in, u32 dst, bool deep, bool only, ComposePath& path) {
  Cell src = *src_in;
  clamp_index(&src);
  u32 sn = series_node(&src);
  runtime::check_walk_depth(u32(path.size()));
  if (std::find(path.begin(), path.end(), sn) != path.end()) fire(Err::internal_no_cycle);
  path.push_back(sn);
  struct Leave {
    ComposePath& p;
    ~Leave() { p.pop_back(); }
  } leave{path};
  roots::NodeRoot hold_dst(&dst);
  for (walk::BlockWalk w(&src); w.more(); ++w.pos) {
    Cell c = w.at(w.pos);
    Type t = type_of(&c);
    if (t == TYPE_PAREN) {
      api::Values scope;  // drops the paren's value once it is appended
      stack::mark(words::cell(words::W_BODY_TAG), stack::FRAME_INTERP);
      Status st = interp::eval_block(&c, true);
      if (st) {
        stack::unwind();
        return st;
      }
      stack::unwind_last();  // the value stays rooted, as the last pushed cell
      const Cell* v = stack::last();
      Type vt = type_of(v);
      if (vt == TYPE_UNSET) continue;
      if (vt == TYPE_BLOCK && !only) {
        u32 vn = series_node(v);
        u32 vcount = buffer_of(vn)->used() / sizeof(Cell);
        for (u32 k = u32(series_index(v) < 0 ? 0 : series_index(v)); k < vcount; ++k) {
          Cell* slot = mem::alloc_tail_cell(dst);
          copy_cell(buffer_of(vn)->cells() + k, slot);
        }
      } else {
        copy_cell(v, mem::alloc_tail_cell(dst));
      }
    } else if (deep && (t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH)) {
      u32 sub = mem::alloc_cells(4);
      roots::NodeRoot hold_sub(&sub);
      Status st = compose_into(&c, sub, deep, only, path);
      if (st) return st;
      Cell nc;
      make_series(&nc, t, sub);
      nc.header = c.header;  // the flags stay; a hash! becomes a block!
      if (t == TYPE_HASH) set_type(&nc, TYPE_BLOCK);
      copy_cell(&nc, mem::alloc_tail_cell(dst));
    } else {
      copy_cell(&c, mem::alloc_tail_cell(dst));
    }
  }
  return 0;
}

}  // namespace

Status compose(const i32* refs) {
  Cell value = *api::arg(0);
  bool deep = ref(refs, 0), only = ref(refs, 1);
  Cell* out = ref_arg(refs, 2);
  if (type_of(&value) != TYPE_BLOCK) {
    Cell type;
    make_datatype(&type, type_of(&value));
    fire(Err::script_expect_arg, intern_word("compose"), &type, intern_word("value"));
  }
  api::Values block(1);
  Cell* result = block[0];
  make_series(result, TYPE_BLOCK, mem::alloc_cells(block_cell_count(&value) + 1));
  ComposePath path;
  Status st = compose_into(&value, series_node(result), deep, only, path);
  if (st) return st;
  if (out) insert_into(out, result, false);
  else copy_cell(result, api::result());
  return api::done();
}

// ---- apply -------------------------------------------------------------------

Status apply(const i32* refs) {
  Cell fn_arg = *api::arg(0);
  Cell args = *api::arg(1);
  bool all_flag = ref(refs, 0), safer = ref(refs, 1);
  Cell fn;
  Cell* path = nullptr;
  Cell path_copy;
  Type t = type_of(&fn_arg);
  if (t == TYPE_WORD) {
    fn = *word::get_value_cell(&fn_arg);
  } else if (t == TYPE_PATH) {
    path_copy = fn_arg;
    path = &path_copy;
    Cell head = *buffer_of(series_node(&fn_arg))->cells();
    fn = *word::get_value_cell(&head);
  } else {
    fn = fn_arg;
  }
  Type ft = type_of(&fn);
  if (ft == TYPE_OP) {
    set_type(&fn, Type((fn.header >> 16) & 0xFF));
    fn.header &= 0xFF;
    ft = type_of(&fn);
  }
  if (ft != TYPE_FUNCTION && ft != TYPE_ACTION && ft != TYPE_NATIVE && ft != TYPE_ROUTINE) {
    fire(Err::script_invalid_arg, &fn_arg);
  }
  stack::set_interp_flag();
  clamp_index(&args);
  interp::Code code{&args, series_node(&args), block_cell_count(&args)};
  u32 pos = u32(series_index(&args));
  u32 mode = (all_flag ? 1 : 2) | (safer ? 4 : 0);
  // The function and the argument block stay in this frame's argument cells
  // (rooted) for the whole call; the call leaves its result in the base cell.
  Status st = interp::eval_call(&fn, code, pos, false, path, intern_word("<applied>"), &fn, mode, false);
  return st;
}

// ---- transcode -----------------------------------------------------------------

Status transcode(const i32* refs) {
  lexer::transcode_native(refs);
  return 0;
}

}  // namespace qel::natives
