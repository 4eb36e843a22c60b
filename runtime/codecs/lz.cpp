#include "runtime/codecs/lz.hpp"

#include <algorithm>
#include <cstring>

namespace qel::codecs::lz {

namespace {

u32 get_u32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }

void put_u32(std::vector<u8>& out, std::size_t at, u32 v) {
  for (int i = 0; i < 4; ++i) out[at + i] = u8(v >> (8 * i));
}

// Reads bits lowest first from [pos, end), loading one byte at a time, so
// that after a block the next byte is the first unread one.
struct BitReader {
  const u8* pos;
  const u8* end;
  u64 bits = 0;
  u32 count = 0;
  bool ok = true;

  u32 get(u32 n) {
    while (count < n) {
      if (pos >= end) {
        ok = false;
        return 0;
      }
      bits |= u64(*pos++) << count;
      count += 8;
    }
    u32 v = u32(bits & ((u64(1) << n) - 1));
    bits >>= n;
    count -= n;
    return v;
  }
};

struct BitWriter {
  std::vector<u8>& out;
  u64 bits = 0;
  u32 count = 0;

  void put(u32 v, u32 n) {
    bits |= u64(v) << count;
    count += n;
    while (count >= 8) {
      out.push_back(u8(bits));
      bits >>= 8;
      count -= 8;
    }
  }
};

}  // namespace

std::optional<std::vector<u8>> decompress_payload(const u8* data, std::size_t size) {
  if (size < 8) return std::nullopt;
  u32 blocks = get_u32(data);
  u32 total = get_u32(data + 4);
  if (blocks > size - 8) return std::nullopt;
  const u8* pos = data + 8;
  const u8* end = pos + blocks;
  std::vector<u8> out;
  out.reserve(std::min<std::size_t>(total, std::size_t(blocks) * 72 + 16));
  while (pos < end) {
    if (end - pos < 4) return std::nullopt;
    u32 length = get_u32(pos);
    pos += 4;
    if (length == 0 || length > BLOCK_MAX || length > total - out.size()) return std::nullopt;
    std::size_t start = out.size();
    std::size_t stop = start + length;
    BitReader in{pos, end};
    while (out.size() < stop) {
      if (in.get(1) == 0) {
        u32 byte = in.get(8);
        if (!in.ok) return std::nullopt;
        out.push_back(u8(byte));
        continue;
      }
      u32 n;
      if (in.get(1)) n = in.get(2);
      else if (in.get(1)) n = in.get(2) + 4;
      else if (in.get(1)) n = in.get(2) + 8;
      else if (in.get(1)) n = in.get(3) + 12;
      else if (in.get(1)) n = in.get(5) + 20;
      else n = in.get(9) + 52;
      u32 j = in.get(4) + 2;
      u32 d = (j > 2 ? (1u << j) + in.get(j) : in.get(3)) + 1;
      if (!in.ok) return std::nullopt;
      std::size_t len = n + 3;
      if (d > out.size() - start || len > stop - out.size()) return std::nullopt;
      std::size_t from = out.size() - d;
      for (std::size_t i = 0; i < len; ++i) out.push_back(out[from + i]);
    }
    pos = in.pos;
  }
  return out;
}

namespace {

constexpr u32 H3_SIZE = 1u << 19;
constexpr u32 H4_SIZE = 1u << 20;
constexpr u32 CHAIN_SIZE = 1u << 18;
constexpr u32 CHAIN_WALK = 256;
constexpr i32 EMPTY = -1;

void put_match(BitWriter& w, u32 len, u32 dist) {
  w.put(1, 1);
  u32 n = len - 3;
  if (n < 4) w.put(1, 1), w.put(n, 2);
  else if (n < 8) w.put(2, 2), w.put(n - 4, 2);
  else if (n < 12) w.put(4, 3), w.put(n - 8, 2);
  else if (n < 20) w.put(8, 4), w.put(n - 12, 3);
  else if (n < 52) w.put(16, 5), w.put(n - 20, 5);
  else w.put(0, 5), w.put(n - 52, 9);
  u32 dm = dist - 1;
  u32 j = 2;
  while (dm >= (1u << (j + 1))) ++j;
  w.put(j - 2, 4);
  if (j == 2) w.put(dm, 3);
  else w.put(dm - (1u << j), j);
}

}  // namespace

std::optional<std::vector<u8>> compress_payload(const u8* input, std::size_t size) {
  if (size < 128 || size > 0xFFFFFFFFu) return std::nullopt;
  std::vector<u8> out(8);
  std::vector<i32> head3(H3_SIZE), head4(H4_SIZE), chain(CHAIN_SIZE);
  for (std::size_t base = 0; base < size; base += BLOCK_MAX) {
    u32 length = u32(std::min<std::size_t>(BLOCK_MAX, size - base));
    const u8* b = input + base;
    std::fill(head3.begin(), head3.end(), EMPTY);
    std::fill(head4.begin(), head4.end(), EMPTY);
    std::size_t at = out.size();
    out.resize(at + 4);
    put_u32(out, at, length);
    BitWriter w{out};
    // Enters position p (with at least 4 bytes from it) in the tables.
    auto enter = [&](u32 p) {
      if (p + 4 > length) return;
      u32 h3 = ((u32(b[p]) << 14) ^ (u32(b[p + 1]) << 7) ^ b[p + 2]) & (H3_SIZE - 1);
      u32 h4 = ((u32(b[p]) << 15) ^ (u32(b[p + 1]) << 10) ^ (u32(b[p + 2]) << 5) ^ b[p + 3]) &
               (H4_SIZE - 1);
      head3[h3] = i32(p);
      chain[p & (CHAIN_SIZE - 1)] = head4[h4];
      head4[h4] = i32(p);
    };
    auto measure = [&](u32 p, u32 cand, u32 limit) {
      u32 n = 0;
      while (n < limit && b[cand + n] == b[p + n]) ++n;
      return n;
    };
    u32 p = 0;
    while (p < length) {
      u32 limit = std::min(MATCH_MAX, length - p);
      u32 best_len = 0, best_dist = 0;
      if (limit >= 4) {
        u32 h3 = ((u32(b[p]) << 14) ^ (u32(b[p + 1]) << 7) ^ b[p + 2]) & (H3_SIZE - 1);
        i32 c = head3[h3];
        if (c != EMPTY && p - u32(c) <= DISTANCE_MAX) {
          u32 n = measure(p, u32(c), limit);
          if (n >= 3) best_len = n, best_dist = p - u32(c);
        }
        u32 h4 = ((u32(b[p]) << 15) ^ (u32(b[p + 1]) << 10) ^ (u32(b[p + 2]) << 5) ^ b[p + 3]) &
                 (H4_SIZE - 1);
        i32 cand = head4[h4];
        for (u32 walk = 0; cand != EMPTY && walk < CHAIN_WALK && best_len < limit; ++walk) {
          u32 dist = p - u32(cand);
          if (dist > DISTANCE_MAX) break;
          if (b[u32(cand) + best_len] == b[p + best_len] && b[u32(cand)] == b[p]) {
            u32 n = measure(p, u32(cand), limit);
            // A farther match must be longer by the extra distance bits it costs.
            u32 cost = 0;
            for (u32 q = dist / 16; q > best_dist; q /= 8) ++cost;
            if (n > best_len + cost) best_len = n, best_dist = dist;
          }
          i32 next = chain[u32(cand) & (CHAIN_SIZE - 1)];
          if (next >= cand) break;
          cand = next;
        }
      }
      if (best_len == 3 && best_dist > 65536) best_len = 0;
      u32 step = 1;
      if (best_len >= 3) {
        put_match(w, best_len, best_dist);
        step = best_len;
      } else {
        w.put(0, 1);
        w.put(b[p], 8);
      }
      for (u32 i = 0; i < step; ++i) enter(p + i);
      p += step;
      if (out.size() + 8 >= size) return std::nullopt;
    }
    w.put(0, 7);
    if (out.size() >= size) return std::nullopt;
  }
  if (out.size() > size - 8) return std::nullopt;
  put_u32(out, 0, u32(out.size() - 8));
  put_u32(out, 4, u32(size));
  return out;
}

}  // namespace qel::codecs::lz
