// The qelbin codec object of system/codecs: title, name, mime-type,
// suffixes, compact?, the function encode and the routines encode* and
// decode.
#include <cstring>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/lexer.hpp"
#include "eval/codec_objects.hpp"
#include "eval/interpreter.hpp"
#include "eval/library_routines.hpp"
#include "io/files.hpp"
#include "io/http.hpp"
#include "io/qelbin.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

namespace qel::qelbin {

namespace {

// encode* data compact?: the value in the compact layout when compact? is
// true, else in the full layout, as a binary!.
void encode_star_entry() {
  bool compact = type_of(stack::base + 1) == TYPE_LOGIC && logic::flag(stack::base + 1);
  std::vector<u8> bytes = compact ? encode_compact(stack::base) : encode_full(stack::base);
  binary::load_at(bytes.data(), u32(bytes.size()), stack::base);
}

// decode payload: a file! or url! is read as binary first; anything else
// but a binary!, and a binary of 10 bytes or fewer, is invalid-data. The
// decoded root values: the one value, or a block of them.
void decode_entry() {
  Type t = type_of(stack::base);
  if (t == TYPE_FILE || t == TYPE_URL) {
    Cell* bytes = t == TYPE_FILE
                      ? io::files::read(stack::base, nullptr, nullptr, true, false, false, nullptr)
                      : io::http::read(stack::base, nullptr, nullptr, true, false, false, nullptr);
    Cell b = *bytes;
    copy_cell(&b, stack::base);
    stack::keep();
  }
  if (type_of(stack::base) != TYPE_BINARY) fire(Err::script_invalid_data, stack::base);
  std::vector<u8> bytes = binary::bytes_from_index(stack::base);
  if (bytes.size() <= 10) fire(Err::script_invalid_data, stack::base);
  api::Values out(1);
  block::make_at(out[0], 4);
  decode(bytes.data(), bytes.size(), series_node(out[0]), MODE_CODEC);
  if (block::length_from_index(out[0]) == 1) {
    Cell one = *block::cell_at(out[0], u32(series_index(out[0])));
    copy_cell(&one, stack::base);
  } else {
    copy_cell(out[0], stack::base);
  }
}

struct RoutineDef {
  const char* field;
  const char* spec;
  routines::Entry entry;
};
const RoutineDef kRoutines[] = {
    {"encode*", "[data [any-type!] compact? [logic!]]", encode_star_entry},
    {"decode", "[payload [any-type!]]", decode_entry},
};

}  // namespace

void make_codec_object() {
  Cell* sys = word::get_value_cell(intern_word("system"));
  if (type_of(sys) != TYPE_OBJECT) return;
  u32 codecs = symbol::make("codecs");  // may allocate: before sys is read
  i32 slot = context::find_word(object::context_of(sys), codecs, true);
  if (slot < 0) fire(Err::internal_not_done);
  // The codec object, put into the registry after the image codecs.
  const char* text =
      "qelbin-codec*: make object! [\n"
      "  title: \"Qelbin codec\" name: 'Qelbin mime-type: [] suffixes: [%.qelbin]\n"
      "  compact?: true\n"
      "  encode: func [data [any-type!] where [any-type!]] [encode* :data compact?]\n"
      "  encode*: decode: none\n"
      "]\n"
      "either map? system/codecs [put system/codecs 'qelbin qelbin-codec*][\n"
      "  system/codecs: reduce ['qelbin qelbin-codec*]\n"
      "]";
  roots::LocalCell code;
  lexer::load_source(code.get(), text, std::strlen(text));
  interp::eval_block_or_throw(code.get(), false);
  stack::reset();
  roots::LocalCell obj;
  {
    Cell* w = word::get_value_cell(intern_word("qelbin-codec*"));
    *obj.get() = *w;
    make_unset(w);
  }
  for (const RoutineDef& r : kRoutines) library::define_field_routine(obj.get(), r.field, r.spec, r.entry);
}

}  // namespace qel::qelbin
