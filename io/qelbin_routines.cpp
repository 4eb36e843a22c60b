// The routines behind the qelbin codec: `encode`, `encode-cp` and `decode`, held by
// the object `system/codecs/qelbin` until the codec object of the library
// takes them over.
#include <cstring>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/api.hpp"
#include "eval/boot.hpp"
#include "eval/interpreter.hpp"
#include "io/qelbin.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

namespace qel::qelbin {

namespace {

// encode-cp value: the value in the compact layout, as a binary!.
void encode_cp_entry() {
  std::vector<u8> bytes = encode_compact(stack::base);
  binary::load_at(bytes.data(), u32(bytes.size()), stack::base);
}

// encode value: the value in the full layout, as a binary!.
void encode_entry() {
  std::vector<u8> bytes = encode_full(stack::base);
  binary::load_at(bytes.data(), u32(bytes.size()), stack::base);
}

// decode data: a block of the values decoded from the binary! (from its index).
void decode_entry() {
  if (type_of(stack::base) != TYPE_BINARY) fire(Err::script_expect_arg);
  std::vector<u8> bytes = binary::bytes_from_index(stack::base);
  api::Values out(1);
  block::make_at(out[0], 4);
  decode(bytes.data(), bytes.size(), series_node(out[0]), MODE_CODEC);
  copy_cell(out[0], stack::base);
}

struct RoutineDef {
  const char* field;
  const char* spec;
  routines::Entry entry;
};
const RoutineDef kRoutines[] = {
    {"encode", "value [any-type!]", encode_entry},
    {"encode-cp", "value [any-type!]", encode_cp_entry},
    {"decode", "data [binary!]", decode_entry},
};

}  // namespace

void make_codec_object() {
  Cell* sys = word::get_value_cell(intern_word("system"));
  if (type_of(sys) != TYPE_OBJECT) return;
  // system/codecs is a block of key and codec object pairs (none before any
  // codec is installed): the pair qelbin and its object joins it.
  i32 slot = context::find_word(object::context_of(sys), symbol::make("codecs"), true);
  if (slot < 0) fire(Err::internal_not_done);
  if (type_of(context::slot(object::context_of(sys), u32(slot))) != TYPE_BLOCK) {
    roots::LocalCell fresh;
    block::make_at(fresh.get(), 2);
    sys = word::get_value_cell(intern_word("system"));
    copy_cell(fresh.get(), context::slot(object::context_of(sys), u32(slot)));
  }
  const char* text =
      "append system/codecs reduce ['qelbin make object! [encode: encode-cp: decode: none]]";
  roots::LocalCell code;
  boot::load_source(code.get(), text, std::strlen(text));
  interp::eval_block_or_throw(code.get(), false);
  stack::reset();
  sys = word::get_value_cell(intern_word("system"));
  roots::LocalCell obj;
  {
    Cell* codecs = context::slot(object::context_of(sys), u32(slot));
    mem::Buffer* b = mem::buffer_of(series_node(codecs));
    *obj.get() = b->cells()[b->used() / sizeof(Cell) - 1];
  }
  for (const RoutineDef& r : kRoutines) {
    roots::LocalCell spec;
    boot::load_source(spec.get(), r.spec, std::strlen(r.spec));
    u32 index = routines::register_routine(r.field, r.entry);
    routine::push(spec.get(), nullptr, index, -1);
    Cell* fn = stack::last();
    fn->header |= routine::FLAG_VALUES;
    u32 ctx = object::context_of(obj.get());
    i32 i = context::find_word(ctx, symbol::make(r.field), true);
    if (i < 0) fire(Err::internal_not_done);
    Cell routine_value = *stack::last();
    copy_cell(&routine_value, context::slot(ctx, u32(i)));
    stack::reset();
  }
}

}  // namespace qel::qelbin
