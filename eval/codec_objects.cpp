// The codec objects of the five image formats: title, name, mime-type,
// suffixes, and encode/decode routines over image::encode and image::decode.
//
// Start-up puts them into the registry system/codecs (a map!) in this order:
// png jpeg bmp gif tiff.
#include "eval/codec_objects.hpp"

#include <cstring>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/image.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/lexer.hpp"
#include "eval/interpreter.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

namespace qel::image_codecs {

namespace {

struct CodecDef {
  const char* key;
  const char* source;  // the object's fields before its routines
  int format;
};

const CodecDef kCodecs[] = {
    {"png", "title: \"\" name: 'PNG mime-type: [image/png] suffixes: [%.png]", 1},
    {"jpeg", "title: \"\" name: 'JPEG mime-type: [image/jpeg] suffixes: [%.jpg %.jpeg %.jpe %.jfif]", 3},
    {"bmp", "title: \"\" name: 'BMP mime-type: [image/bmp] suffixes: [%.bmp]", 0},
    {"gif", "title: \"\" name: 'GIF mime-type: [image/gif] suffixes: [%.gif]", 2},
    {"tiff", "title: \"\" name: 'TIFF mime-type: [image/tiff] suffixes: [%.tif %.tiff]", 4},
};

// Routine entries: the arguments from the frame base, the result in it.
template <int Format>
void encode_entry() {
  Cell* img = stack::base;
  if (type_of(img) != TYPE_IMAGE) fire(Err::script_invalid_arg, img);
  Cell* out = image::encode(img, Format);
  copy_cell(out, stack::base);
}

void decode_entry() {
  Cell* data = stack::base;
  Cell* out = image::decode(data);
  copy_cell(out, stack::base);
}

routines::Entry encoder_for(int format) {
  switch (format) {
    case 0: return encode_entry<0>;
    case 1: return encode_entry<1>;
    case 2: return encode_entry<2>;
    case 3: return encode_entry<3>;
    default: return encode_entry<4>;
  }
}

// Pushes a routine! taking value cells, over the entry; spec_text holds the
// spec's values without brackets.
Cell* push_routine(const char* spec_text, const char* name, routines::Entry entry) {
  roots::LocalCell spec;
  lexer::load_source(spec.get(), spec_text, std::strlen(spec_text));
  u32 index = routines::register_routine(name, entry);
  routine::push(spec.get(), nullptr, index, -1);
  Cell* r = stack::last();
  r->header |= routine::FLAG_VALUES;
  return r;
}

void set_field(Cell* obj, const char* field, const Cell* value) {
  u32 sym = symbol::make(field);  // may allocate: before obj is read
  i32 i = context::find_word(object::context_of(obj), sym, true);
  if (i < 0) fire(Err::internal_not_done);
  copy_cell(value, context::slot(object::context_of(obj), u32(i)));
}

}  // namespace

void install() {
  Cell* sys = word::get_value_cell(intern_word("system"));
  if (type_of(sys) != TYPE_OBJECT) return;
  u32 codecs = symbol::make("codecs");  // may allocate: before sys is read
  i32 slot = context::find_word(object::context_of(sys), codecs, true);
  if (slot < 0) return;
  Type held = type_of(context::slot(object::context_of(sys), u32(slot)));
  if (held != TYPE_NONE && held != TYPE_MAP) return;
  // The objects are made in a block, then put into the registry (a map!, in
  // registry order) or, before the registry exists, become system/codecs.
  std::string text = "image-codecs*: reduce [";
  for (const CodecDef& c : kCodecs) {
    text += std::string(" '") + c.key + " make object! [" + c.source + " encode: none decode: none]";
  }
  text += " ]";
  roots::LocalCell code, block;
  lexer::load_source(code.get(), text.c_str(), text.size());
  interp::eval_block_or_throw(code.get(), false);
  stack::reset();
  {
    Cell* w = word::get_value_cell(intern_word("image-codecs*"));
    copy_cell(w, block.get());
    make_unset(w);
  }
  {
    Cell put_word = *intern_word("put");
    Cell put_fn = *word::get_value_cell(&put_word);
    sys = word::get_value_cell(intern_word("system"));
    if (held == TYPE_NONE) {
      copy_cell(block.get(), context::slot(object::context_of(sys), u32(slot)));
    } else {
      api::Values args(4);
      copy_cell(context::slot(object::context_of(sys), u32(slot)), args[0]);
      for (u32 k = 0; k < sizeof kCodecs / sizeof kCodecs[0]; ++k) {
        copy_cell(mem::buffer_of(series_node(block.get()))->cells() + 2 * k, args[1]);
        copy_cell(mem::buffer_of(series_node(block.get()))->cells() + 2 * k + 1, args[2]);
        api::check(api::invoke(&put_fn, args[0], 3, args[3]));
      }
    }
  }
  for (u32 k = 0; k < sizeof kCodecs / sizeof kCodecs[0]; ++k) {
    std::string enc = std::string("image-encode-") + kCodecs[k].key;
    std::string dec = std::string("image-decode-") + kCodecs[k].key;
    Cell* encoder = push_routine("img [image!] where [any-type!]", enc.c_str(), encoder_for(kCodecs[k].format));
    Cell* decoder = push_routine("data [any-type!]", dec.c_str(), decode_entry);
    Cell obj = *(mem::buffer_of(series_node(block.get()))->cells() + 2 * k + 1);
    set_field(&obj, "encode", encoder);
    set_field(&obj, "decode", decoder);
    stack::pop(2);
  }
}

}  // namespace qel::image_codecs
