#include "io/clipboard.hpp"

#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/image.hpp"
#include "datatypes/string.hpp"
#include "platform/clipboard.hpp"
#include "platform/image_codecs.hpp"
#include "platform/os.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::clipboard {

namespace pc = platform::clipboard;

Cell* read() {
  pc::Content c = pc::read();
  switch (c.kind) {
    case pc::Kind::text:
      return string::load(reinterpret_cast<const u8*>(c.text.data()), u32(c.text.size()),
                          string::Encoding::utf8);
    case pc::Kind::files: {
      Cell* block = block::push_only(i32(c.paths.size()));
      for (const std::string& p : c.paths) {
        Cell* f = file::load(reinterpret_cast<const u8*>(p.data()), u32(p.size()), false);
        copy_cell(f, mem::alloc_tail_cell(series_node(block)));
        stack::pop(1);
      }
      return block;
    }
    case pc::Kind::encoded_image: {
      platform::imaging::Decoded d;
      if (!platform::imaging::decode(c.bytes.data(), c.bytes.size(), d)) return make_logic(stack::push(), false);
      return image::push_from_pixels(d.width, d.height, d.pixels);
    }
    case pc::Kind::pixels:
      return image::push_from_pixels(c.width, c.height, c.pixels.data());
    case pc::Kind::failed:
      return make_logic(stack::push(), false);
    default:
      return make_none(stack::push());
  }
}

namespace {

// The absolute OS path of a file! or string! value.
std::string os_path_of(const Cell* v) {
  std::string path = type_of(v) == TYPE_FILE ? file::to_local_path(v) : string::to_utf8(v);
  if (!path.empty() && path[0] != '/') {
    std::string dir = platform::get_current_dir();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    path = dir + path;
  }
  return path;
}

}  // namespace

bool write(const Cell* value) {
  switch (type_of(value)) {
    case TYPE_NONE:
      return pc::clear();
    case TYPE_STRING:
      return pc::write_text(string::to_utf8(value));
    case TYPE_BLOCK: {
      std::vector<std::string> paths;
      u32 node = series_node(value);
      i32 from = series_index(value) < 0 ? 0 : series_index(value);
      for (u32 i = u32(from); i < mem::buffer_of(node)->used() / sizeof(Cell); ++i) {
        Cell v = *(mem::buffer_of(node)->cells() + i);
        if (type_of(&v) != TYPE_FILE && type_of(&v) != TYPE_STRING) fire(Err::script_invalid_arg, &v);
        paths.push_back(os_path_of(&v));  // allocates nothing in the region
      }
      return pc::write_files(paths);
    }
    case TYPE_IMAGE: {
      if (!image::record(value) || !image::pixel_count(value)) return pc::clear();
      u32 w = image::width(value), h = image::height(value);
      std::vector<u32> px(image::pixels(image::record(value)), image::pixels(image::record(value)) + u64(w) * h);
      return pc::write_image(w, h, px.data());
    }
    default:
      fire(Err::script_invalid_arg, value);
  }
}

}  // namespace qel::clipboard
