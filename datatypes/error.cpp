#include "datatypes/error.hpp"

#include <string>

#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/word.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/api.hpp"
#include "runtime/actions.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "runtime/words.hpp"

namespace qel::error {

namespace {

inline u32 text_length(const Cell* str) { return string::length_from_head(str); }

// Writes a value with its type's form or mold handler. A type whose module
// is not registered yet still gets a readable text instead of an error, so
// that a report can always be written.
void write_plain(Cell* v, Cell* buffer, bool mold, bool only, bool flat, Cell* arg, i32 limit,
                 i32 indent) {
  Type t = type_of(v);
  ActionFn f = t < TYPE_SLOTS ? types::table[t][mold ? ACT_mold : ACT_form] : nullptr;
  if (f) {
    if (mold) reinterpret_cast<act::Mold>(f)(v, buffer, only, false, flat, arg, limit, indent);
    else reinterpret_cast<act::Form>(f)(v, buffer, arg, limit);
    return;
  }
  switch (t) {
    case TYPE_INTEGER: string::append_ascii(buffer, std::to_string(int_of(v)).c_str()); break;
    case TYPE_NONE: string::append_ascii(buffer, "none"); break;
    case TYPE_LOGIC: string::append_ascii(buffer, logic_of(v) ? "true" : "false"); break;
    case TYPE_UNSET: break;
    default: string::append_ascii(buffer, types::name_of(t)); break;
  }
}

// Appends the value, formed or molded, cut to `cut` characters (no cut when
// cut < 0); answers the characters written.
u32 write_value(const Cell* value, Cell* buffer, bool mold, bool only, bool flat, i32 cut,
                i32 indent = 0) {
  stack::Mark mark;
  Cell* v = stack::push_cell(value);
  u32 before = text_length(buffer);
  if (cut < 0) {
    write_plain(v, buffer, mold, only, flat, nullptr, 0x7FFFFFFF, indent);
  } else {
    Cell* scratch = make_none(stack::push());
    string::make_at(scratch, u32(cut) + 8, 1);
    Cell* part = make_none(stack::push());
    make_integer(part, cut);
    write_plain(v, scratch, mold, only, flat, part, cut, indent);
    string::truncate(scratch, u32(cut));
    string::concatenate(buffer, scratch);
  }
  return text_length(buffer) - before;
}

// Appends an argument of the message. An argument that cannot be written
// whole (nested too deep to display) must not replace the error being
// reported: the error raised meanwhile is dropped and the argument is
// written cut to ARG_CUT characters and "...", or as "..." alone.
//
// The write runs in a catching frame of its own, which takes the call
// record just above the top, and puts the stacks back as they were
// afterwards (closing the outermost frame would empty the stack). The
// records above that one are left as they are: the error's call-stack line
// is read from them.
constexpr i32 ARG_CUT = 80;

bool write_caught(const Cell* value, Cell* buffer, bool mold, i32 cut) {
  const stack::Snapshot entry;
  u32 before = text_length(buffer);
  stack::mark(words::cell(words::W_BODY_TAG), stack::FRAME_CATCH);
  bool ok = true;
  try {
    write_value(value, buffer, mold, false, false, cut);
  } catch (const Transfer&) {
    runtime::rt.thrown = 0;
    string::truncate_buffer(series_node(buffer), before);
    ok = false;
  }
  entry.restore();
  return ok;
}

void write_argument(const Cell* value, Cell* buffer, bool mold, i32 cut) {
  if (write_caught(value, buffer, mold, cut)) return;
  if (cut < 0 || cut > ARG_CUT) write_caught(value, buffer, mold, ARG_CUT);
  string::append_ascii(buffer, "...");
}

// The value of the error field a word names (ignoring case), or nullptr.
Cell* named_field(const Cell* err, const Cell* word) {
  i32 i = context::find_word(object::context_of(err), word::symbol_of(word), true);
  return i < 0 ? nullptr : context::slot(object::context_of(err), u32(i));
}

// The error becomes internal invalid-error naming the offending value.
void invalidate(Cell* err, const Cell* offending) {
  Cell old = *offending;
  const ErrInfo& info = err_info(Err::internal_invalid_error);
  set_entry(err, info.category, info.field);
  copy_cell(&old, field(err, F_ARG1));
}

// ---- the call-stack walk ---------------------------------------------------------

// The word of call record i and whether it names a function!: the record
// kept for the error when there is one, else the record on the call stack.
// Records at or above the top, and kept records that the stack no longer
// holds, are left over from frames already closed: their contexts may be
// gone, so their words are looked up in the global context only.
bool record_word(u32 i, const stack::KeptCall* kept, Cell* out, bool* is_function) {
  const stack::Frame* f = stack::cbottom + i;
  u32 sym = kept ? kept[i].symbol : f->symbol;
  if (!sym || sym == stack::body_symbol || sym == stack::anon_symbol || !symbol::valid(sym)) {
    return false;
  }
  bool live = f < stack::ctop && (!kept || (f->symbol == sym && f->ctx == kept[i].ctx));
  u32 ctx = (live && f->ctx && context::is_context(f->ctx)) ? f->ctx : context::global;
  i32 index = context::find_word(ctx, sym, true);
  if (index < 0 && ctx != context::global) {
    ctx = context::global;
    index = context::find_word(ctx, sym, true);
  }
  word::fill(out, TYPE_WORD, sym, index < 0 ? 0 : ctx, index);
  const Cell* value = index < 0 ? nullptr : context::word_cell(sym, ctx);
  *is_function = value && type_of(value) == TYPE_FUNCTION;
  return true;
}

// The records of a position, kept for the error when they are: the
// position clamped to what they hold.
const stack::KeptCall* calls_of(u32 error_node, u32* position) {
  u32 count = 0;
  const stack::KeptCall* kept = stack::kept_calls(error_node, &count);
  u32 capacity = kept ? count : u32(stack::cend - stack::cbottom);
  if (*position > capacity) *position = capacity;
  return kept;
}

// ---- the report ------------------------------------------------------------------

void append(Cell* buffer, const char* text) { string::append_ascii(buffer, text); }

void write_message(Cell* err, Cell* buffer, int category) {
  u32 ctx = category_context(category);
  i32 f = id_field(category, field(err, F_ID));
  if (f < 0) {
    invalidate(err, field(err, F_ID));
    category = ERR_CAT_internal;
    ctx = category_context(category);
    f = i32(err_info(Err::internal_invalid_error).field);
  }
  Cell* msg = stack::push_cell(context::slot(ctx, u32(f)));
  if (is_any_word_type(type_of(msg))) {
    Cell* named = named_field(err, msg);
    if (named) copy_cell(named, msg);
  }
  write_value(context::slot(ctx, 1), buffer, false, false, false, -1);
  append(buffer, ": ");
  switch (type_of(msg)) {
    case TYPE_STRING:
      string::concatenate(buffer, msg);
      break;
    case TYPE_BLOCK: {
      bool syntax = category == ERR_CAT_syntax;
      u32 node = series_node(msg);
      u32 from = series_index(msg) < 0 ? 0 : u32(series_index(msg));
      for (u32 i = from;; ++i) {
        u32 count = mem::buffer_of(node)->used() / sizeof(Cell);
        if (i >= count) break;
        Cell item = mem::buffer_of(node)->cells()[i];
        Type t = type_of(&item);
        if (t == TYPE_STRING) {
          string::concatenate(buffer, &item);
        } else if (t == TYPE_WORD || t == TYPE_GET_WORD) {
          Cell* value = named_field(err, &item);
          if (value) {
            Cell v = *value;
            write_argument(&v, buffer, !syntax, syntax ? 80 : -1);
          }
        } else {
          continue;
        }
        if (i + 1 < mem::buffer_of(node)->used() / sizeof(Cell)) append(buffer, " ");
      }
      break;
    }
    default: {
      Cell old = *field(err, F_TYPE);
      invalidate(err, &old);
      break;
    }
  }
}

}  // namespace

i32 form_report(Cell* err_in, Cell* buffer_in, i32 limit) {
  stack::Mark mark;
  Cell* err = stack::push_cell(err_in);
  Cell* buffer = stack::push_cell(buffer_in);
  u32 before = text_length(buffer);
  append(buffer, "*** ");
  int category = category_index(field(err, F_TYPE));
  if (category < 0) {
    invalidate(err, field(err, F_TYPE));
    category = ERR_CAT_internal;
  }
  write_message(err, buffer, category);

  append(buffer, "\n*** Where: ");
  Cell* where = stack::push_cell(field(err, F_WHERE));
  Type wt = type_of(where);
  if (is_any_word_type(wt) || wt == TYPE_STRING) write_value(where, buffer, false, false, false, -1);
  else append(buffer, "???");

  append(buffer, "\n*** Near : ");
  write_value(field(err, F_NEAR), buffer, true, true, true, 40);

  const Cell* level = stack_trace_setting();
  if (type_of(level) == TYPE_INTEGER && int_of(level) > 0) {
    Cell* st = stack::push_cell(field(err, F_STACK));
    if (type_of(st) == TYPE_INTEGER) {
      append(buffer, "\n*** Stack: ");
      form_calls(int_of(level), node_of(err), u32(int_of(st) < 0 ? 0 : int_of(st)), buffer, 0x7FFFFFFF);
    } else if (type_of(st) == TYPE_BLOCK) {
      append(buffer, "\n*** Stack: ");
      write_value(st, buffer, false, false, false, -1);
    }
  }
  if (type_of(field(err, F_FILES)) == TYPE_BLOCK) {
    append(buffer, "\n*** Files: ");
    write_value(field(err, F_FILES), buffer, true, true, true, 40);
  }
  i32 written = i32(text_length(buffer) - before);
  return limit - written;
}

void trace_calls(i32 level, u32 error_node, u32 block, u32 position) {
  roots::NodeRoot hold(&block);
  for (u32 i = 0; i < position; ++i) {
    // The kept records are found again at each step: the block grows.
    u32 n = position;
    const stack::KeptCall* kept = calls_of(error_node, &n);
    if (i >= n) break;
    Cell w;
    bool fn = false;
    if (!record_word(i, kept, &w, &fn) || (level <= 1 && !fn)) continue;
    copy_cell(&w, mem::alloc_tail_cell(block));
  }
}

i32 form_calls(i32 level, u32 error_node, u32 position, Cell* buffer, i32 limit) {
  for (u32 i = 0; i < position; ++i) {
    u32 n = position;
    const stack::KeptCall* kept = calls_of(error_node, &n);
    if (i >= n) break;
    Cell w;
    bool fn = false;
    if (!record_word(i, kept, &w, &fn) || (level <= 1 && !fn)) continue;
    limit -= i32(write_value(&w, buffer, false, false, false, -1));
    append(buffer, " ");
    --limit;
  }
  return limit;
}

void get_stack(Cell* err) {
  if (type_of(err) != TYPE_ERROR || type_of(field(err, F_STACK)) != TYPE_INTEGER) return;
  const Cell* setting = stack_trace_setting();
  i32 level = (type_of(setting) == TYPE_INTEGER && int_of(setting) > 0) ? int_of(setting) : 1;
  i32 position = int_of(field(err, F_STACK));
  stack::Mark mark;
  Cell* calls = make_none(stack::push());
  make_series(calls, TYPE_BLOCK, mem::alloc_cells(20));
  trace_calls(level, node_of(err), series_node(calls), u32(position < 0 ? 0 : position));
  copy_cell(calls, field(err, F_STACK));
  const Cell* files = source_files_setting();
  if (type_of(files) == TYPE_BLOCK && mem::buffer_of(series_node(files))->used() > 0) {
    // A snapshot: the list changes as scripts start and end.
    Cell* copy = stack::push_cell(files);
    set_series_node(copy, mem::copy_series_buffer(series_node(files)));
    copy_cell(copy, field(err, F_FILES));
  }
}

Cell* arg_word(u32 n, Cell* out) {
  Cell call;
  stack::get_call(&call);
  const Cell* fn = symbol::valid(word::symbol_of(&call)) ? context::word_cell(word::symbol_of(&call), word::context_of(&call)) : nullptr;
  Type t = fn ? type_of(fn) : TYPE_NO_TYPE;
  if (t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_FUNCTION ||
      t == TYPE_ROUTINE) {
    u32 spec = function::spec_of(fn);
    u32 count = mem::buffer_of(spec)->used() / sizeof(Cell);
    for (u32 i = 0; i < count; ++i) {
      const Cell* c = mem::buffer_of(spec)->cells() + i;
      Type ct = type_of(c);
      if (ct != TYPE_WORD && ct != TYPE_LIT_WORD && ct != TYPE_GET_WORD && ct != TYPE_REFINEMENT) {
        continue;
      }
      if (n-- == 0) {
        copy_cell(c, out);
        return set_type(out, TYPE_WORD);
      }
    }
  }
  return word::fill(out, TYPE_WORD, stack::anon_symbol);
}

namespace {

[[noreturn]] void invalid_spec_field(const char* which) {
  Cell w;
  word::fill(&w, TYPE_WORD, symbol::make(which));
  fire(Err::script_invalid_spec_field, &w);
}

// Checks the type and id fields after a spec set them; answers the entry.
void check_fields(Cell* err, int* category, u32* id) {
  int c = category_index(field(err, F_TYPE));
  if (c < 0 || type_of(field(err, F_TYPE)) != TYPE_WORD) invalid_spec_field("type");
  Cell idw = *field(err, F_ID);
  i32 f = type_of(&idw) == TYPE_WORD ? id_field(c, &idw) : -1;
  if (f < 0) invalid_spec_field("id");
  *category = c;
  *id = u32(f);
}

Cell* error_make(Cell*, Cell* spec_in, Type) {
  Cell* spec = stack::push_cell(spec_in);
  Cell* out = make_none(stack::push());
  switch (type_of(spec)) {
    case TYPE_INTEGER: {
      i32 code = int_of(spec);
      if (code < 0 || code / 100 >= ERR_CATEGORY_COUNT) fire(Err::script_out_of_range, spec);
      int c = code / 100;
      u32 f = u32(code % 100) + 2;
      if (f >= context::word_count(category_context(c))) fire(Err::script_out_of_range, spec);
      new_error(out);
      set_entry(out, c, f);
      break;
    }
    case TYPE_BLOCK: {
      u32 node = series_node(spec);
      u32 count = mem::buffer_of(node)->used() / sizeof(Cell);
      u32 index = series_index(spec) < 0 ? 0 : u32(series_index(spec));
      Type first = index < count ? type_of(mem::buffer_of(node)->cells() + index) : TYPE_NO_TYPE;
      new_error(out);
      if (first == TYPE_WORD) {
        Cell cat = mem::buffer_of(node)->cells()[index];
        int c = category_index(&cat);
        if (c < 0) invalid_spec_field("type");
        copy_cell(&cat, field(out, F_TYPE));
        if (index + 1 >= count) invalid_spec_field("id");
        Cell id = mem::buffer_of(node)->cells()[index + 1];
        if (type_of(&id) != TYPE_WORD) fire(Err::script_invalid_arg, &id);
        i32 f = id_field(c, &id);
        if (f < 0) invalid_spec_field("id");
        copy_cell(&id, field(out, F_ID));
        make_integer(field(out, F_CODE), c * 100 + f - 2);
      } else if (first == TYPE_SET_WORD) {
        context::bind_block(object::context_of(out), spec, false);
        {
          stack::Mark mark;  // the block's value is not kept
          api::services.do_block(spec);
        }
        int c;
        u32 f;
        check_fields(out, &c, &f);
        make_integer(field(out, F_CODE), c * 100 + i32(f) - 2);
      } else {
        fire(Err::internal_invalid_error);
      }
      break;
    }
    case TYPE_STRING:
      create(out, Err::user_message, spec, nullptr, nullptr);
      return out;  // create has filled near
    default: {
      Cell type;
      make_datatype(&type, TYPE_ERROR);
      fire(Err::script_bad_make_arg, &type, spec);
    }
  }
  fill_near(out);
  return out;
}

i32 error_form(Cell* v, Cell* buffer, Cell*, i32 limit) { return form_report(v, buffer, limit); }

void append_indent(Cell* buffer, i32 level) {
  for (i32 i = 0; i < level; ++i) append(buffer, "    ");
}

// The fields as object! writes them: word, ": ", the value molded (a word!
// value as a lit-word), one entry per line one level deeper, or separated by
// spaces when flat.
i32 mold_fields(Cell* err, Cell* buffer, bool only, bool flat, Cell* arg, i32 limit, i32 indent) {
  bool indenting = !flat && !only;
  u32 ctx = object::context_of(err);
  u32 n = context::word_count(ctx);
  for (u32 i = 0; i < n; ++i) {
    if (arg && limit <= 0) break;
    u32 before = text_length(buffer);
    if (indenting) append_indent(buffer, indent + 1);
    Cell w = *context::symbol_cell(ctx, i);
    set_type(&w, TYPE_WORD);
    write_value(&w, buffer, false, false, false, -1);
    append(buffer, ": ");
    Cell* slot = context::slot(ctx, i);
    Cell value = slot ? *slot : Cell{};
    if (type_of(&value) == TYPE_NO_TYPE) make_unset(&value);
    if (type_of(&value) == TYPE_WORD) append(buffer, "'");
    write_value(&value, buffer, true, false, flat, -1, indent + 1);
    if (indenting) append(buffer, "\n");
    else if (i + 1 < n) append(buffer, flat ? " " : "\n");
    limit -= i32(text_length(buffer) - before);
  }
  return limit;
}

i32 error_mold(Cell* v, Cell* buffer, bool only, bool, bool flat, Cell* arg, i32 limit,
               i32 indent) {
  stack::Mark mark;
  Cell* err = stack::push_cell(v);
  if (!only) {
    append(buffer, flat ? "make error! [" : "make error! [\n");
    limit -= flat ? 13 : 14;
  }
  limit = mold_fields(err, buffer, only, flat, arg, limit, indent);
  if (!only) {
    if (!flat && indent > 0) {
      append_indent(buffer, indent);
      limit -= 4 * indent;
    }
    append(buffer, "]");
    --limit;
  }
  return limit;
}

i32 error_compare(Cell* a, Cell* b, i32 op) {
  if (type_of(b) != TYPE_ERROR) return COMPARE_INCOMPARABLE;
  Cell other = *b;
  set_type(&other, TYPE_OBJECT);
  auto object_compare = reinterpret_cast<act::Compare>(types::table[TYPE_OBJECT][ACT_compare]);
  if (object_compare) return object_compare(a, &other, op);
  // Until object! is registered: the same context is equal, others compare
  // field by field.
  if (object::context_of(a) == object::context_of(b)) return 0;
  if (op == COMP_SAME) return -1;
  for (u32 i = 0; i < FIELD_COUNT; ++i) {
    Cell x = *field(a, Field(i)), y = *field(b, Field(i));
    if (type_of(&x) != type_of(&y)) return type_of(&x) < type_of(&y) ? -1 : 1;
    i32 r = actions::compare_values(&x, &y, op);
    if (r) return r;
  }
  return 0;
}

Cell* error_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  auto object_path = reinterpret_cast<act::EvalPath>(types::table[TYPE_OBJECT][ACT_eval_path]);
  if (object_path) return object_path(parent, element, value, step);
  // Until object! is registered: fields by word.
  Cell* f = is_any_word_type(type_of(element)) ? named_field(parent, element) : nullptr;
  if (!f) {
    Cell path;
    if (step.path) copy_cell(step.path, &path); else make_none(&path);
    fire(Err::script_invalid_path, &path, element);
  }
  if (value) {
    copy_cell(value, f);
    return value;
  }
  return stack::push_cell(f);
}

}  // namespace

void init() {
  ActionTable t = no_actions();
  t.make = error_make;
  t.form = error_form;
  t.mold = error_mold;
  t.eval_path = error_eval_path;
  t.compare = error_compare;
  t.reflect = {};  // reflect, copy and select come from object!
  t.copy = {};
  t.select = {};
  types::register_datatype({TYPE_ERROR, TYPE_OBJECT, "error!", t});
}

Cell* make(Cell* proto, Cell* spec, Type type) { return error_make(proto, spec, type); }

}  // namespace qel::error
