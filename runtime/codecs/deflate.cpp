// Deflate compressor, inflater and the zlib and gzip framings.
#include "runtime/codecs/deflate.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "runtime/codecs/checksum.hpp"

namespace qel::codecs::deflate {

namespace {

constexpr u16 kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                              31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr u8 kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr u16 kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                               33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                               1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr u8 kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr u8 kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr u64 MAX_COUNT = 0xFFFFFFFFull;  // sizes are 32-bit

inline u32 reverse_bits(u32 code, u32 n) {
  u32 r = 0;
  for (u32 i = 0; i < n; ++i, code >>= 1) r = (r << 1) | (code & 1);
  return r;
}

// ---- output ------------------------------------------------------------------------------

// Output into caller memory: bytes past the capacity are counted only.
struct FixedSink {
  u8* buf;
  u64 cap;
  u64 pos = 0;
  bool failed = false;  // the count passed the 32-bit limit
  bool room(u64 need) {
    if (need > MAX_COUNT) failed = true;
    return need <= cap;
  }
};

// Output into a vector that grows while inflating, up to a cap.
struct GrowSink {
  std::vector<u8>* vec;
  u8* buf;
  u64 cap;
  u64 max;
  u64 pos = 0;
  bool failed = false;
  bool room(u64 need) {
    if (need <= cap) return true;
    if (need > max) {
      failed = true;
      return false;
    }
    u64 size = std::max<u64>(need, cap * 2);
    size = std::min(size, max);
    vec->reserve(std::size_t(size));  // exactly: the cap bounds the memory too
    vec->resize(std::size_t(size));
    buf = vec->data();
    cap = size;
    return true;
  }
};

// ---- bit input ---------------------------------------------------------------------------

// Least significant bit first. Past the input the reader feeds zero bytes
// and counts them, so that a stream cut short is seen as soon as it uses a
// bit that is not there.
struct BitReader {
  const u8* in;
  std::size_t n;
  std::size_t ipos = 0;
  u64 bits = 0;
  u32 count = 0;
  u64 zeros = 0;  // zero bytes fed past the end

  void refill() {
    if (count >= 56) return;
    if (ipos + 8 <= n) {
      u64 v;
      std::memcpy(&v, in + ipos, 8);  // little-endian
      bits |= v << count;
      ipos += (63 - count) >> 3;
      count |= 56;
      return;
    }
    while (count <= 56) {
      if (ipos < n) {
        bits |= u64(in[ipos++]) << count;
      } else {
        ++zeros;
      }
      count += 8;
    }
  }
  // More bits used than the input holds.
  bool overrun() const { return zeros && (ipos + zeros) * 8 - count > n * 8; }
  u32 peek(u32 k) const { return u32(bits & ((u64(1) << k) - 1)); }
  void drop(u32 k) {
    bits >>= k;
    count -= k;
  }
  u32 take(u32 k) {
    u32 v = peek(k);
    drop(k);
    return v;
  }
  // Drops the bits up to the byte boundary and gives the whole bytes still
  // held back to the input.
  void align_to_bytes() {
    drop(count & 7);
    u64 held = count / 8;
    if (zeros >= held) {
      zeros -= held;
    } else {
      ipos -= std::size_t(held - zeros);
      zeros = 0;
    }
    bits = 0;
    count = 0;
  }
};

// ---- Huffman decoding ----------------------------------------------------------------------

constexpr u32 FAST_BITS = 10;

struct Huffman {
  std::array<u16, 1u << FAST_BITS> fast{};  // symbol << 4 | length; 0: longer code
  std::array<u16, 16> count{};
  std::array<u16, 288> symbols{};
  u32 total = 0;  // codes in the set

  // Builds the code of the lengths; false for an over-subscribed set, or an
  // incomplete one unless it is a single code of one bit (or, with
  // allow_empty, no code at all).
  bool build(const u8* lengths, u32 n, bool allow_empty) {
    count.fill(0);
    fast.fill(0);
    total = 0;
    for (u32 s = 0; s < n; ++s) ++count[lengths[s]];
    count[0] = 0;
    for (u32 l = 1; l < 16; ++l) total += count[l];
    if (total == 0) return allow_empty;
    i32 left = 1;
    for (u32 l = 1; l < 16; ++l) {
      left = left * 2 - count[l];
      if (left < 0) return false;  // over-subscribed
    }
    if (left > 0 && !(total == 1 && count[1] == 1)) return false;  // incomplete
    std::array<u16, 16> offset{};
    for (u32 l = 1; l < 15; ++l) offset[l + 1] = u16(offset[l] + count[l]);
    for (u32 s = 0; s < n; ++s) {
      if (lengths[s]) symbols[offset[lengths[s]]++] = u16(s);
    }
    // The fast table: each code of up to FAST_BITS bits, bit-reversed, fills
    // every slot whose low bits are that code.
    u32 code = 0, index = 0;
    for (u32 l = 1; l <= FAST_BITS; ++l) {
      for (u32 k = 0; k < count[l]; ++k, ++code, ++index) {
        u32 r = reverse_bits(code, l);
        u16 entry = u16((symbols[index] << 4) | l);
        for (u32 j = r; j < (1u << FAST_BITS); j += 1u << l) fast[j] = entry;
      }
      code <<= 1;
    }
    return true;
  }

  // The next symbol (the reader holds at least 15 bits), or -1 for a code
  // that is not in the set.
  int decode(BitReader& br) const {
    u16 e = fast[br.peek(FAST_BITS)];
    if (e) {
      br.drop(e & 15);
      return e >> 4;
    }
    // Longer codes: canonical decoding, one bit at a time.
    i32 code = 0, first = 0, index = 0;
    u64 bits = br.bits;
    for (u32 l = 1; l < 16; ++l) {
      code |= i32(bits & 1);
      bits >>= 1;
      i32 c = count[l];
      if (code - c < first) {
        br.drop(l);
        return symbols[index + (code - first)];
      }
      index += c;
      first = (first + c) << 1;
      code <<= 1;
    }
    return -1;
  }
};

const Huffman& fixed_litlen() {
  static const Huffman h = [] {
    Huffman t;
    u8 lengths[288];
    std::fill(lengths, lengths + 144, 8);
    std::fill(lengths + 144, lengths + 256, 9);
    std::fill(lengths + 256, lengths + 280, 7);
    std::fill(lengths + 280, lengths + 288, 8);
    t.build(lengths, 288, false);
    return t;
  }();
  return h;
}

const Huffman& fixed_dist() {
  static const Huffman h = [] {
    Huffman t;
    u8 lengths[32];
    std::fill(lengths, lengths + 32, 5);
    t.build(lengths, 32, false);
    return t;
  }();
  return h;
}

// ---- the inflater ----------------------------------------------------------------------------

template <class Sink>
class Inflater {
 public:
  Inflater(Sink& sink, const u8* in, std::size_t n) : out_(sink) {
    br_.in = in;
    br_.n = n;
  }

  int run() {
    for (;;) {
      br_.refill();
      if (br_.overrun()) return BAD_DATA;  // the stream ended before its final block
      bool final = br_.take(1);
      u32 type = br_.take(2);
      int r;
      switch (type) {
        case 0: r = stored(); break;
        case 1: r = codes(fixed_litlen(), fixed_dist()); break;
        case 2: r = dynamic(); break;
        default: return BAD_BLOCK_TYPE;
      }
      if (r != OK) return r;
      if (out_.failed) return TOO_LARGE;
      if (br_.overrun()) return BAD_DATA;
      if (final) break;
    }
    return out_.pos > out_.cap ? NEEDS_ROOM : OK;
  }

  u64 produced() const { return out_.pos; }

 private:
  int stored() {
    br_.align_to_bytes();
    if (br_.ipos + 4 > br_.n) return BAD_DATA;
    const u8* p = br_.in + br_.ipos;
    u32 len = u32(p[0]) | (u32(p[1]) << 8);
    u32 nlen = u32(p[2]) | (u32(p[3]) << 8);
    if ((len ^ 0xFFFF) != nlen) return BAD_DATA;
    br_.ipos += 4;
    if (br_.ipos + len > br_.n) return STORED_PAST_INPUT;
    u64 end = out_.pos + len;
    if (len == 0) {
      // nothing to copy (the output may still be null)
    } else if (out_.room(end)) {
      std::memcpy(out_.buf + out_.pos, br_.in + br_.ipos, len);
    } else if (out_.pos < out_.cap) {
      std::memcpy(out_.buf + out_.pos, br_.in + br_.ipos, std::size_t(out_.cap - out_.pos));
    }
    out_.pos = end;
    br_.ipos += len;
    return OK;
  }

  int dynamic() {
    br_.refill();
    u32 nlen = br_.take(5) + 257, ndist = br_.take(5) + 1, ncode = br_.take(4) + 4;
    if (nlen > 286 || ndist > 30) return BAD_DATA;
    u8 lengths[320] = {};
    for (u32 i = 0; i < ncode; ++i) {
      br_.refill();
      lengths[kCodeLengthOrder[i]] = u8(br_.take(3));
    }
    Huffman& lencode = scratch_[0];
    if (!lencode.build(lengths, 19, false)) return BAD_DATA;
    std::memset(lengths, 0, sizeof lengths);
    u32 i = 0;
    while (i < nlen + ndist) {
      br_.refill();
      if (br_.overrun()) return BAD_DATA;
      int sym = lencode.decode(br_);
      if (sym < 0) return BAD_DATA;
      if (sym < 16) {
        lengths[i++] = u8(sym);
        continue;
      }
      u8 value = 0;
      u32 repeat;
      if (sym == 16) {
        if (i == 0) return BAD_DATA;  // nothing to repeat
        value = lengths[i - 1];
        repeat = 3 + br_.take(2);
      } else if (sym == 17) {
        repeat = 3 + br_.take(3);
      } else {
        repeat = 11 + br_.take(7);
      }
      if (i + repeat > nlen + ndist) return BAD_DATA;
      while (repeat--) lengths[i++] = value;
    }
    if (br_.overrun()) return BAD_DATA;
    if (lengths[256] == 0) return BAD_DATA;  // the block could never end
    Huffman& litlen = scratch_[1];
    Huffman& dist = scratch_[2];
    if (!litlen.build(lengths, nlen, false)) return BAD_DATA;
    if (!dist.build(lengths + nlen, ndist, true)) return BAD_DATA;
    return codes(litlen, dist);
  }

  int codes(const Huffman& litlen, const Huffman& dist) {
    for (;;) {
      br_.refill();
      if (br_.zeros && br_.overrun()) return BAD_DATA;
      int sym = litlen.decode(br_);
      if (sym < 0) return BAD_DATA;
      if (sym < 256) {
        if (out_.pos < out_.cap || out_.room(out_.pos + 1)) {
          out_.buf[out_.pos] = u8(sym);
        } else if (out_.failed) {
          return TOO_LARGE;
        }
        ++out_.pos;
        continue;
      }
      if (sym == 256) return OK;
      sym -= 257;
      if (sym >= 29) return BAD_DATA;  // 286 and 287
      u32 len = kLenBase[sym] + br_.take(kLenExtra[sym]);
      int ds = dist.decode(br_);
      if (ds < 0 || ds >= 30) return BAD_DATA;  // 30 and 31
      u32 d = kDistBase[ds] + br_.take(kDistExtra[ds]);
      if (d > out_.pos) return BAD_DISTANCE;
      u64 end = out_.pos + len;
      if (end <= out_.cap || out_.room(end)) {
        u8* dst = out_.buf + out_.pos;
        const u8* src = dst - d;
        if (d >= len) {
          std::memcpy(dst, src, len);
        } else if (d >= 8) {
          u32 k = 0;
          for (; k + 8 <= len; k += 8) std::memcpy(dst + k, src + k, 8);
          for (; k < len; ++k) dst[k] = src[k];
        } else {
          for (u32 k = 0; k < len; ++k) dst[k] = src[k];
        }
      } else {
        if (out_.failed) return TOO_LARGE;
        // Only the bytes that fit are written; each comes from a stored byte
        // (its source lies before it). The rest is counted.
        for (u64 k = out_.pos; k < out_.cap; ++k) out_.buf[k] = out_.buf[k - d];
      }
      out_.pos = end;
    }
  }

  Sink& out_;
  BitReader br_;
  Huffman scratch_[3];
};

// ---- the compressor --------------------------------------------------------------------------

struct BitWriter {
  u8* out;
  u64 cap;
  u64 pos = 0;
  u64 bits = 0;
  u32 count = 0;

  void put(u32 v, u32 n) {
    bits |= u64(v) << count;
    count += n;
    if (count >= 32) flush();
  }
  void flush() {
    u32 whole = count >> 3;
    if (out && pos + 8 <= cap) {
      std::memcpy(out + pos, &bits, 8);
    } else {
      for (u32 i = 0; i < whole; ++i) {
        if (out && pos + i < cap) out[pos + i] = u8(bits >> (8 * i));
      }
    }
    pos += whole;
    bits = whole == 8 ? 0 : bits >> (8 * whole);
    count &= 7;
  }
  void finish() {
    if (count & 7) count = (count + 7) & ~7u;  // zero bits up to the byte
    flush();
  }
};

struct FixedCodes {
  std::array<u32, 288> lit;       // bit-reversed code
  std::array<u8, 288> lit_len;
  std::array<u32, 259> len_bits;  // code and extra bits of each match length
  std::array<u8, 259> len_count;
};

const FixedCodes& fixed_codes() {
  static const FixedCodes c = [] {
    FixedCodes t{};
    for (u32 v = 0; v < 288; ++v) {
      u32 code, n;
      if (v < 144) { code = 0x30 + v; n = 8; }
      else if (v < 256) { code = 0x190 + (v - 144); n = 9; }
      else if (v < 280) { code = v - 256; n = 7; }
      else { code = 0xC0 + (v - 280); n = 8; }
      t.lit[v] = reverse_bits(code, n);
      t.lit_len[v] = u8(n);
    }
    for (u32 len = 3; len <= 258; ++len) {
      u32 s = 0;
      while (s < 28 && kLenBase[s + 1] <= len) ++s;
      u32 n = t.lit_len[257 + s];
      t.len_bits[len] = t.lit[257 + s] | ((len - kLenBase[s]) << n);
      t.len_count[len] = u8(n + kLenExtra[s]);
    }
    return t;
  }();
  return c;
}

inline u32 bucket_of(const u8* p) {
  u32 b0 = p[0];
  u32 x = (b0 << 16) | (u32(p[1]) << 8) | p[2];
  u32 h = (x ^ b0) * 0x7FEB352Du;
  h = ((h >> 15) ^ h) * 0x846CA68Bu;
  h = ((h >> 16) ^ h) & 0x3FF;
  return h;
}

// Raw deflate of the input into out (or only counted when out is null);
// answers the byte count.
u64 deflate_raw(u8* out, u64 cap, const u8* in, u32 n) {
  const FixedCodes& fc = fixed_codes();
  constexpr u32 EMPTY = 0xFFFFFFFFu;
  u32 table[1024][4];
  std::memset(table, 0xFF, sizeof table);
  BitWriter w{out, cap};
  w.put(1, 1);  // BFINAL
  w.put(1, 2);  // BTYPE 01: fixed Huffman codes
  u32 p = 0;
  while (p < n) {
    bool hashable = n - p >= 3;
    u32 h = hashable ? bucket_of(in + p) : 0;
    u32 next = p + 1;
    bool matched = false;
    if (p >= 3 && hashable) {
      for (u32 s = 0; s < 4; ++s) {
        u32 q = table[h][s];
        if (q == EMPTY || q >= p || p - q >= 0x8000) continue;
        if (in[q] != in[p] || in[q + 1] != in[p + 1] || in[q + 2] != in[p + 2]) continue;
        u32 max = std::min<u32>(258, n - p);
        u32 len = 3;
        while (len < max && in[q + len] == in[p + len]) ++len;
        u32 d = p - q;
        w.put(fc.len_bits[len], fc.len_count[len]);
        u32 d1 = d - 1, ds, extra = 0, nextra = 0;
        if (d1 < 4) {
          ds = d1;
        } else {
          u32 nb = 31 - u32(__builtin_clz(d1));
          ds = 2 * nb + ((d1 >> (nb - 1)) & 1);
          nextra = nb - 1;
          extra = d1 & ((1u << nextra) - 1);
        }
        w.put(reverse_bits(ds, 5) | (extra << 5), 5 + nextra);
        next = p + len;
        matched = true;
        break;
      }
    }
    if (!matched) w.put(fc.lit[in[p]], fc.lit_len[in[p]]);
    if (hashable) {
      // The slot comes from the two bytes after the new position; past the
      // input they read as 0 (no later position is searched then).
      u32 n1 = next + 1 < n ? in[next + 1] : 0;
      u32 n2 = next + 2 < n ? in[next + 2] : 0;
      table[h][((n1 >> 6) - n2) & 3] = p;
    }
    p = next;
  }
  w.put(0, 7);  // end of block
  w.finish();
  return w.pos;
}

inline void put_be32(u8* p, u32 v) {
  p[0] = u8(v >> 24); p[1] = u8(v >> 16); p[2] = u8(v >> 8); p[3] = u8(v);
}
inline void put_le32(u8* p, u32 v) {
  p[0] = u8(v); p[1] = u8(v >> 8); p[2] = u8(v >> 16); p[3] = u8(v >> 24);
}
inline u32 get_le32(const u8* p) {
  return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24);
}

// A framed compressor: header, deflate stream, trailer.
int framed_compress(u8* out, u32* size, const u8* in, u32 n, const u8* header, u32 hn,
                    const u8* trailer, u32 tn) {
  u64 cap = out ? *size : 0;
  u64 room = cap > hn ? cap - hn : 0;
  u64 body = deflate_raw(out && cap >= hn ? out + hn : nullptr, room, in, n);
  u64 total = hn + body + tn;
  if (total > MAX_COUNT) return TOO_LARGE;
  *size = u32(total);
  if (total > cap || !out) return NEEDS_ROOM;
  std::memcpy(out, header, hn);
  std::memcpy(out + hn + body, trailer, tn);
  return OK;
}

// The deflate stream of a gzip member: [start, end) of the input, or false
// for a bad header.
bool gzip_body(const u8* in, u32 n, u32& start, u32& end) {
  if (n < 18 || in[0] != 0x1F || in[1] != 0x8B || in[2] != 8 || (in[3] & 0xE0)) return false;
  u8 flags = in[3];
  u32 p = 10;
  if (flags & 4) {  // FEXTRA
    u32 xlen = u32(in[10]) | (u32(in[11]) << 8);
    if (xlen > n - 12) return false;
    p = 12 + xlen;
  }
  for (u8 bit : {u8(8), u8(16)}) {  // FNAME, FCOMMENT: up to a NUL inside the data
    if (!(flags & bit)) continue;
    while (p < n && in[p]) ++p;
    if (p >= n) return false;
    ++p;
  }
  if (flags & 2) {  // FHCRC
    if (p + 2 > n) return false;
    u32 crc = checksum::crc32(in, p) & 0xFFFF;
    if (crc != (u32(in[p]) | (u32(in[p + 1]) << 8))) return false;
    p += 2;
  }
  if (p + 8 > n) return false;
  start = p;
  end = n - 8;
  return true;
}

bool zlib_header_ok(const u8* in, u32 n) {
  if (n < 6) return false;
  u32 cmf = in[0], flg = in[1];
  return (cmf * 256 + flg) % 31 == 0 && (cmf & 15) == 8 && (cmf >> 4) < 8 && !(flg & 0x20);
}

inline u32 get_be32(const u8* p) {
  return (u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | p[3];
}

}  // namespace

// ---- methods ---------------------------------------------------------------------------------

int compress(u8* out, u32* size, const u8* in, u32 length) {
  u64 cap = out ? *size : 0;
  u64 total = deflate_raw(out, cap, in, length);
  if (total > MAX_COUNT) return TOO_LARGE;
  *size = u32(total);
  return total > cap || !out ? NEEDS_ROOM : OK;
}

int decompress(u8* out, u32* size, const u8* in, u32 length) {
  FixedSink sink{out, out ? *size : 0};
  Inflater<FixedSink> inf(sink, in, length);
  int r = inf.run();
  if (r == OK || r == NEEDS_ROOM) *size = u32(inf.produced());
  return r;
}

int zlib_compress(u8* out, u32* size, const u8* in, u32 length) {
  const u8 header[2] = {0x78, 0x01};
  u8 trailer[4];
  put_be32(trailer, checksum::adler32(in, length));
  return framed_compress(out, size, in, length, header, 2, trailer, 4);
}

int zlib_decompress(u8* out, u32* size, const u8* in, u32 length) {
  if (!zlib_header_ok(in, length)) return BAD_DATA;
  int r = decompress(out, size, in + 2, length - 6);
  if (r != OK) return r;
  if (checksum::adler32(out, *size) != get_be32(in + length - 4)) return BAD_DATA;
  return OK;
}

int gzip_compress(u8* out, u32* size, const u8* in, u32 length) {
  const u8 header[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 4};
  u8 trailer[8];
  put_le32(trailer, checksum::crc32(in, length));
  put_le32(trailer + 4, length);
  return framed_compress(out, size, in, length, header, 10, trailer, 8);
}

int gzip_decompress(u8* out, u32* size, const u8* in, u32 length) {
  u32 start, end;
  if (!gzip_body(in, length, start, end)) return BAD_DATA;
  u32 isize = get_le32(in + length - 4);
  FixedSink sink{out, out ? *size : 0};
  Inflater<FixedSink> inf(sink, in + start, end - start);
  int r = inf.run();
  if (r == NEEDS_ROOM) {
    *size = u32(inf.produced());
    return r;
  }
  if (r != OK) return r;
  if (inf.produced() != isize) return BAD_DATA;
  *size = isize;
  if (checksum::crc32(out, isize) != get_le32(in + length - 8)) return BAD_DATA;
  return OK;
}

std::vector<u8> compress_to_vector(Framing f, const u8* in, u32 length) {
  // Fixed codes spend at most 9 bits a byte, plus the block header and end.
  u64 bound = u64(length) * 9 / 8 + 32;
  std::vector<u8> out(std::size_t(std::min<u64>(bound, MAX_COUNT)));
  u32 size = u32(out.size());
  Method m = f == Framing::raw ? compress : f == Framing::zlib ? zlib_compress : gzip_compress;
  int r = m(out.data(), &size, in, length);
  if (r == NEEDS_ROOM) {
    out.resize(size);
    r = m(out.data(), &size, in, length);
  }
  out.resize(r == OK ? size : 0);
  return out;
}

int decompress_to_vector(Framing f, const u8* in, u32 length, std::vector<u8>& out,
                         u64 size_hint, u64 max_size) {
  u32 start = 0, end = length;
  u32 stored_sum = 0, isize = 0;
  if (f == Framing::zlib) {
    if (!zlib_header_ok(in, length)) return BAD_DATA;
    start = 2;
    end = length - 4;
    stored_sum = get_be32(in + end);
  } else if (f == Framing::gzip) {
    if (!gzip_body(in, length, start, end)) return BAD_DATA;
    stored_sum = get_le32(in + length - 8);
    isize = get_le32(in + length - 4);
    size_hint = isize;
  }
  // A claimed size only sets the first allocation, and never above what
  // the input could plausibly expand to at first; growth does the rest.
  u64 first = std::min<u64>(size_hint, u64(length) * 8 + 4096);
  first = std::min(first, max_size);
  out.assign(std::size_t(first), 0);
  GrowSink sink{&out, out.data(), first, max_size};
  Inflater<GrowSink> inf(sink, in + start, end - start);
  int r = inf.run();
  if (r != OK) return r == NEEDS_ROOM ? TOO_LARGE : r;
  u64 n = inf.produced();
  out.resize(std::size_t(n));
  if (f == Framing::zlib && checksum::adler32(out.data(), out.size()) != stored_sum) return BAD_DATA;
  if (f == Framing::gzip && (u32(n) != isize || checksum::crc32(out.data(), out.size()) != stored_sum)) {
    return BAD_DATA;
  }
  return OK;
}

}  // namespace qel::codecs::deflate
