// The one walk of the QELBIN encoders over values; each layout is a sink
// that writes the records the walk hands it (io/qelbin.cpp: compact,
// io/qelbin_full.cpp: full).
//
// The walk decides what is written and in which order: a series, object or
// function met a second time is written as a reference to the path of
// record positions where it was first written; a block-like node's cells,
// a map's live pairs, a context's values, an error's fields and a function's
// spec and body are children of the record that holds them. A word bound to
// an object's or a function's context carries that owner: a reference, or
// the owner's context (and a function's spec and body) the first time.
//
// A sink has a symbol table `symbols` and these members (each writes one
// record head with what follows it, in its layout):
//   begin(c)                  a value starts (its new-line marker)
//   scalar(c, t)              a value without children (numbers, dates, ...)
//   reference(t, path)        an object or function met before
//   word(c, t, sym, bound, path)  a word; path: its owner met before, or null
//   object_head(c, cls, handlers, change, deep_change, for_word)
//   function_head(spec, body, for_word)   the counts of spec and body cells
//   context_head(ctx, values) its kind and words
//   error_head(code)
//   native_head(t, index)     a native! or action! (then its spec block)
//   op_head(source)           an op! (then its source)
//   spec_block_head()         the block of a native's spec
//   series(c, t, node, path)  head and data of a series, image or bitset;
//                             answers whether cells (or map pairs) follow
//   count(n)                  the number of child cells that follow
// for_word is set when the record is the owner of a word, written after the
// word's own record.
#pragma once

#include <unordered_map>
#include <vector>

#include "datatypes/error.hpp"
#include "datatypes/function.hpp"
#include "datatypes/image.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/word.hpp"
#include "io/qelbin_internal.hpp"

namespace qel::qelbin::detail {

using Path = std::vector<u32>;

// A block-like node's cells: their number (through `count`, in the
// layout's own integer form), then each cell through `child` as a child of
// the current position, `path` carrying one more level for their
// positions. Each cell is read from the buffer
// afresh, never through a pointer kept across writing another.
template <class Count, class Child>
void put_cells(std::vector<u32>& path, u32 node, Count count, Child child) {
  u32 cells = mem::buffer_of(node)->used() / sizeof(Cell);
  count(cells);
  path.push_back(0);
  for (u32 i = 0; i < cells; ++i) {
    Cell c = mem::buffer_of(node)->cells()[i];
    child(&c);
    ++path.back();
  }
  path.pop_back();
}

// A map's node likewise, but only its live key/value pairs (a removed
// pair has an empty value cell): their number of cells, then key and value
// of each pair as consecutive children.
template <class Count, class Child>
void put_map_cells(std::vector<u32>& path, u32 node, Count count, Child child) {
  u32 cells = mem::buffer_of(node)->used() / sizeof(Cell);
  u32 live = 0;
  for (u32 i = 0; i + 1 < cells; i += 2)
    if (mem::buffer_of(node)->cells()[i + 1].header != 0) live += 2;
  count(live);
  path.push_back(0);
  for (u32 i = 0; i + 1 < cells; i += 2) {
    Cell key = mem::buffer_of(node)->cells()[i];
    Cell val = mem::buffer_of(node)->cells()[i + 1];
    if (val.header == 0) continue;
    child(&key);
    ++path.back();
    child(&val);
    ++path.back();
  }
  path.pop_back();
}

// Whether a context's words are written with their values: not for one
// whose values live on the stack, nor when every value is unset.
inline bool context_has_values(u32 ctx) {
  if (context::on_stack(ctx)) return false;
  for (u32 i = 0, n = context::word_count(ctx); i < n; ++i) {
    Cell* v = context::slot(ctx, i);
    if (v && !is_unset(v)) return true;
  }
  return false;
}

// A context's values, one a word (unset where a word has no slot), as
// children of the current position.
template <class Child>
void put_context_values(std::vector<u32>& path, u32 ctx, Child child) {
  path.push_back(0);
  for (u32 i = 0, n = context::word_count(ctx); i < n; ++i) {
    Cell v;
    Cell* slot = context::slot(ctx, i);
    if (slot) v = *slot;
    else make_unset(&v);
    child(&v);
    ++path.back();
  }
  path.pop_back();
}

// An error's fields after its code, as children of the current position.
template <class Child>
void put_error_fields(std::vector<u32>& path, const Cell* err, Child child) {
  path.push_back(0);
  for (u32 f = error::F_ARG1; f <= error::F_STACK; ++f) {
    Cell v = *error::field(err, error::Field(f));
    child(&v);
    ++path.back();
  }
  path.pop_back();
}


enum class Follow { nothing, cells, map_cells };

template <class Sink>
class Walk {
 public:
  explicit Walk(Sink& sink) : sink_(sink) {
    path_.assign(1, 0);
    on_change_ = symbol::make("on-change*");
    on_deep_change_ = symbol::make("on-deep-change*");
  }

  void value(const Cell* v) {
    if (path_.size() > DEPTH_MAX) fire(Err::internal_stack_overflow);
    Cell c = *v;
    Type t = type_of(&c);
    sink_.begin(&c);
    switch (t) {
      case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
      case TYPE_REFINEMENT:
        word(&c, t);
        break;
      case TYPE_OBJECT: {
        auto found = nodes_.find(object::context_of(&c));
        if (found != nodes_.end()) sink_.reference(t, found->second);
        else object(&c, false);
        break;
      }
      case TYPE_ERROR:
        sink_.error_head(u32(int_of(error::field(&c, error::F_CODE))));
        put_error_fields(path_, &c, [&](const Cell* f) { value(f); });
        break;
      case TYPE_NATIVE: case TYPE_ACTION:
        sink_.native_head(t, native::index_of(&c));
        spec_block(series_node(&c));
        break;
      case TYPE_OP: {
        // The operator's source record, which takes no position of its own;
        // an operator made from a routine! has none.
        Type st = op::source_type(&c);
        if (st != TYPE_NATIVE && st != TYPE_ACTION && st != TYPE_FUNCTION) no_codec(st);
        sink_.op_head(st);
        if (st == TYPE_FUNCTION) {
          Cell fn = *function::more_cell(&c, function::MORE_OP);
          function_or_reference(&fn);
        } else {
          sink_.native_head(st, native::index_of(&c));
          spec_block(series_node(&c));
        }
        break;
      }
      case TYPE_FUNCTION:
        function_or_reference(&c);
        break;
      case TYPE_UNSET: case TYPE_NONE: case TYPE_DATATYPE: case TYPE_LOGIC: case TYPE_CHAR:
      case TYPE_INTEGER: case TYPE_PAIR: case TYPE_POINT2D: case TYPE_POINT3D: case TYPE_FLOAT:
      case TYPE_TIME: case TYPE_PERCENT: case TYPE_DATE: case TYPE_TYPESET: case TYPE_TUPLE:
      case TYPE_MONEY: case TYPE_ISSUE:
        sink_.scalar(&c, t);
        break;
      default:
        if (is_any_block_type(t) || is_any_string_type(t) || t == TYPE_BINARY || t == TYPE_VECTOR ||
            t == TYPE_BITSET || t == TYPE_MAP || t == TYPE_IMAGE) {
          series(&c, t);
          break;
        }
        no_codec(t);
    }
  }

  // The next root record.
  void next() { ++path_.back(); }

 private:
  Sink& sink_;
  Path path_;
  std::unordered_map<u32, Path> nodes_;
  u32 on_change_ = 0, on_deep_change_ = 0;

  void cells(u32 node) {
    put_cells(path_, node, [&](u32 n) { sink_.count(n); }, [&](const Cell* v) { value(v); });
  }

  // The spec block of a native!, action! or op!: a block record that takes
  // no position of its own (its cells are counted under the owner's).
  void spec_block(u32 node) {
    sink_.spec_block_head();
    cells(node);
  }

  void word(const Cell* c, Type t) {
    u32 ctx = word::context_of(c);
    Type owner_type = word_owner_type(ctx);
    u32 sym = sink_.symbols.index(word::symbol_of(c));
    if (owner_type == TYPE_NONE) {
      sink_.word(c, t, sym, false, nullptr);
      return;
    }
    auto found = nodes_.find(ctx);
    sink_.word(c, t, sym, true, found != nodes_.end() ? &found->second : nullptr);
    if (found != nodes_.end()) return;
    Cell owner = *context::self_slot(ctx);
    if (owner_type == TYPE_OBJECT) object(&owner, true);
    else function(&owner, true);
  }

  void object(const Cell* c, bool for_word) {
    u32 ctx = object::context_of(c);
    nodes_.emplace(ctx, path_);
    bool handlers = object::on_set_of(c) != 0;
    i32 change = handlers ? context::find_word(ctx, on_change_, true) : 0;
    i32 deep_change = handlers ? context::find_word(ctx, on_deep_change_, true) : 0;
    sink_.object_head(c, object::class_of(c), handlers, change, deep_change, for_word);
    context(ctx);
  }

  void function_or_reference(const Cell* c) {
    if (!is_unset(function::more_cell(c, function::MORE_NATIVE))) no_codec(TYPE_ROUTINE);
    auto found = nodes_.find(function::context_of(c));
    if (found != nodes_.end()) sink_.reference(TYPE_FUNCTION, found->second);
    else function(c, false);
  }

  // A function: the lengths of its spec and body, its context, then the
  // spec (position 0) and the body (position 1) as block records.
  void function(const Cell* c, bool for_word) {
    if (!is_unset(function::more_cell(c, function::MORE_NATIVE))) no_codec(TYPE_ROUTINE);
    u32 ctx = function::context_of(c);
    nodes_.emplace(ctx, path_);
    Cell spec;
    make_series(&spec, TYPE_BLOCK, series_node(c));
    Cell body = *function::more_cell(c, function::MORE_BODY);
    if (type_of(&body) != TYPE_BLOCK) no_codec(TYPE_FUNCTION);
    sink_.function_head(mem::buffer_of(series_node(&spec))->used() / sizeof(Cell),
                        mem::buffer_of(series_node(&body))->used() / sizeof(Cell), for_word);
    context(ctx);
    path_.push_back(0);
    value(&spec);
    next();
    value(&body);
    path_.pop_back();
  }

  void context(u32 ctx) {
    bool values = context_has_values(ctx);
    sink_.context_head(ctx, values);
    if (values) put_context_values(path_, ctx, [&](const Cell* v) { value(v); });
  }

  void series(const Cell* c, Type t) {
    u32 node = t == TYPE_IMAGE ? image::record(c) : series_node(c);
    // The empty image has no pixels to share.
    auto found = node ? nodes_.find(node) : nodes_.end();
    const Path* ref = found != nodes_.end() ? &found->second : nullptr;
    if (!ref && node) nodes_.emplace(node, path_);
    switch (sink_.series(c, t, node, ref)) {
      case Follow::cells:
        cells(node);
        break;
      case Follow::map_cells:
        put_map_cells(path_, node, [&](u32 n) { sink_.count(n); }, [&](const Cell* v) { value(v); });
        break;
      case Follow::nothing:
        break;
    }
  }
};

}  // namespace qel::qelbin::detail
