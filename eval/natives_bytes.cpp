// Byte natives: checksum, compress, decompress, enbase, debase, dehex,
// enhex. Each checks its arguments, gathers the input bytes into C++ memory
// (so nothing points into a buffer that an allocation may move) and hands the
// work to the checksum, deflate and base codecs.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/codecs/checksum.hpp"
#include "eval/natives.hpp"
#include "runtime/codecs/base.hpp"
#include "runtime/codecs/deflate.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/unicode.hpp"

namespace qel::natives {

using api::Args;
using interp::Status;

namespace {

// The largest binary a decompression may produce.
constexpr u64 MAX_OUTPUT = 0x40000000ull;  // 1 GiB

// The bytes of the data argument: a binary! from its index, a string's UTF-8.
std::vector<u8> data_bytes(const Cell* data) {
  if (type_of(data) == TYPE_BINARY) return binary::bytes_from_index(data);
  std::string text = string::to_utf8(data);
  return std::vector<u8>(text.begin(), text.end());
}

// The lower-case spelling of a word argument.
std::string word_name(const Cell* word) {
  std::string name(symbol::name(word::symbol_of(word)));
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  }
  return name;
}

// The whole contents of a file; an unreadable file raises access cannot-open.
std::vector<u8> read_file(const Cell* file) {
  std::string path = file::to_local_path(file);
  std::vector<u8> bytes;
  std::FILE* f = path.find('\0') == std::string::npos ? std::fopen(path.c_str(), "rb") : nullptr;
  if (!f) fire(Err::access_cannot_open, file);
  u8 chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) fire(Err::access_cannot_open, file);
  return bytes;
}

codecs::deflate::Framing framing_of(const Cell* method) {
  std::string name = word_name(method);
  if (name == "zlib") return codecs::deflate::Framing::zlib;
  if (name == "deflate") return codecs::deflate::Framing::raw;
  if (name == "gzip") return codecs::deflate::Framing::gzip;
  fire(Err::script_invalid_arg, method);
}

int base_of(const Args& a) {
  const Cell* b = a.ref_arg(0);
  if (!b) return 64;
  i32 v = int_of(b);
  if (v != 64 && v != 58 && v != 16 && v != 2) fire(Err::script_invalid_arg, b);
  return v;
}

}  // namespace

Status checksum(const i32* refs) {
  Args a(refs);
  const Cell* data = a.arg(0);
  const Cell* method = a.arg(1);
  const Cell* spec = a.ref_arg(0);
  std::vector<u8> bytes = type_of(data) == TYPE_FILE ? read_file(data) : data_bytes(data);
  std::string name = word_name(method);
  int code = -1;
  bool plain = false;
  if (name == "tcp") { code = codecs::checksum::TCP; plain = true; }
  else if (name == "crc32") { code = codecs::checksum::CRC32; plain = true; }
  else if (name == "adler32") { plain = true; }
  else if (name == "md5") code = codecs::checksum::MD5;
  else if (name == "sha1") code = codecs::checksum::SHA1;
  else if (name == "sha256") code = codecs::checksum::SHA256;
  else if (name == "sha384") code = codecs::checksum::SHA384;
  else if (name == "sha512") code = codecs::checksum::SHA512;
  else if (name != "hash") fire(Err::script_invalid_arg, method);

  if (plain) {
    if (spec) {
      Cell with = *intern_word("with");
      fire(Err::script_invalid_refine_arg, &with, spec);
    }
    i32 v = name == "tcp"     ? i32(codecs::checksum::tcp(bytes.data(), bytes.size()))
            : name == "crc32" ? i32(codecs::checksum::crc32(bytes.data(), bytes.size()))
                              : i32(codecs::checksum::adler32(bytes.data(), bytes.size()));
    Cell result;
    return a.answer(make_integer(&result, v));
  }
  if (name == "hash") fire(Err::internal_not_done);  // its algorithm is not settled yet

  std::vector<u8> digest;
  if (spec) {
    Type st = type_of(spec);
    if (st != TYPE_BINARY && !is_any_string_type(st)) {
      Cell with = *intern_word("with");
      fire(Err::script_invalid_refine_arg, &with, spec);
    }
    std::vector<u8> key = data_bytes(spec);
    digest = codecs::checksum::hmac(bytes.data(), bytes.size(), key.data(), key.size(), code);
  } else {
    digest = codecs::checksum::digest(bytes.data(), bytes.size(), code);
  }
  if (digest.empty()) {  // the crypto library failed
    Cell which = *intern_word(name.c_str());
    fire(Err::internal_not_here, &which);
  }
  return a.answer(binary::load(digest));
}

Status compress(const i32* refs) {
  Args a(refs);
  const Cell* data = a.arg(0);
  codecs::deflate::Framing f = framing_of(a.arg(1));
  std::vector<u8> bytes = data_bytes(data);
  if (bytes.size() > 0x7FFFFFF0ull) fire(Err::script_too_long);
  std::vector<u8> out = codecs::deflate::compress_to_vector(f, bytes.data(), u32(bytes.size()));
  if (out.empty()) fire(Err::script_invalid_data, data);
  return a.answer(binary::load(out));
}

Status decompress(const i32* refs) {
  Args a(refs);
  const Cell* data = a.arg(0);
  codecs::deflate::Framing f = framing_of(a.arg(1));
  u64 hint = 0;
  if (const Cell* sz = a.ref_arg(0)) {
    if (int_of(sz) < 0) fire(Err::script_out_of_range, sz);
    hint = u64(int_of(sz));
  }
  std::vector<u8> bytes = binary::bytes_from_index(data);
  if (!hint) hint = bytes.size() * 4;
  std::vector<u8> out;
  int r = codecs::deflate::decompress_to_vector(f, bytes.data(), u32(bytes.size()), out, hint, MAX_OUTPUT);
  if (r == codecs::deflate::TOO_LARGE) fire(Err::script_too_long);
  if (r != codecs::deflate::OK) fire(Err::script_invalid_data, data);
  return a.answer(binary::load(out));
}

Status enbase(const i32* refs) {
  Args a(refs);
  int base = base_of(a);
  std::vector<u8> bytes = data_bytes(a.arg(0));
  if (codecs::base::encoded_size(base, bytes.size()) > 0x7FFFFFF0ull) fire(Err::script_too_long);
  std::string text = base == 2    ? codecs::base::encode_2(bytes.data(), bytes.size())
                     : base == 16 ? codecs::base::encode_16(bytes.data(), bytes.size())
                     : base == 58 ? codecs::base::encode_58(bytes.data(), bytes.size())
                                  : codecs::base::encode_64(bytes.data(), bytes.size());
  api::Values out(1);
  string::make_at(out[0], u32(text.size()));
  string::append_ascii(out[0], text.data(), text.size());
  return a.answer(out[0]);
}

Status debase(const i32* refs) {
  Args a(refs);
  const Cell* value = a.arg(0);
  int base = base_of(a);
  // The units from the index, copied out of the buffer before anything allocates.
  mem::Buffer* b = mem::buffer_of(series_node(value));
  u32 unit = unicode::unit_of(b);
  u32 total = b->used() / unit;
  i32 i = series_index(value);
  u32 index = i < 0 ? 0 : std::min(u32(i), total);
  std::vector<u8> chars(b->head_ptr() + u64(index) * unit, b->head_ptr() + u64(total) * unit);
  auto decoded = codecs::base::decode(base, chars.data(), unit, total - index);
  // Text that does not decode gives none, the codec's answer.
  if (!decoded) return a.answer_none();
  return a.answer(binary::load(*decoded));
}

Status dehex(const i32* refs) {
  Args a(refs);
  const Cell* value = a.arg(0);
  api::Values out(1);
  string::make_at(out[0], string::length_from_index(value), 1, type_of(value));
  url::decode(value, out[0]);
  return a.answer(out[0]);
}

Status enhex(const i32* refs) {
  Args a(refs);
  const Cell* value = a.arg(0);
  api::Values out(1);
  string::make_at(out[0], string::length_from_index(value) * 3, 1, type_of(value));
  url::encode(value, out[0], url::MODE_UNRESERVED);
  return a.answer(out[0]);
}

}  // namespace qel::natives
