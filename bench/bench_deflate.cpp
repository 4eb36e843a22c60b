// Byte codecs: inflate and deflate on a 20 MB text corpus and a 20 MB binary
// corpus, CRC-32 and Adler-32, next to the system's zlib in the same run (zlib
// is linked into this benchmark only, as the baseline); base-64 encoding and
// decoding of 100 MB.
//
// Inflate reads the same zlib stream (level 6, made by zlib) on both sides;
// the compressors are ours (one fixed-code block) against zlib level 1.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_main.hpp"
#include "runtime/codecs/checksum.hpp"
#include "runtime/codecs/base.hpp"
#include "runtime/codecs/deflate.hpp"

#if QEL_BENCH_ZLIB
#include <zlib.h>
#endif

using namespace qel;

namespace {

constexpr std::size_t SIZE = 20u << 20;

// Words of a small vocabulary with punctuation and line breaks, drawn with
// a skewed distribution, as prose or source text repeats itself.
const std::vector<u8>& text_corpus() {
  static const std::vector<u8> data = [] {
    const char* words[] = {"the", "of", "and", "a", "to", "in", "is", "value", "block", "string",
                           "series", "function", "return", "index", "buffer", "binary", "compress",
                           "inflate", "deflate", "window", "length", "distance", "literal", "code"};
    std::mt19937 rng(11);
    std::vector<u8> d;
    d.reserve(SIZE + 32);
    while (d.size() < SIZE) {
      u32 r = rng();
      const char* w = words[(r >> 8) % 3 == 0 ? r % 24 : (r >> 12) % 8];
      d.insert(d.end(), w, w + std::char_traits<char>::length(w));
      d.push_back((r >> 20) % 13 == 0 ? '\n' : (r >> 20) % 7 == 0 ? ',' : ' ');
    }
    d.resize(SIZE);
    return d;
  }();
  return data;
}

// Records of counters, small floats, flags and some noise, as a binary file.
const std::vector<u8>& binary_corpus() {
  static const std::vector<u8> data = [] {
    std::mt19937 gen(5);
    auto rng = [&] { return u32(gen()); };
    std::vector<u8> d;
    d.reserve(SIZE + 64);
    u32 counter = 0;
    while (d.size() < SIZE) {
      ++counter;
      u32 rec[8] = {counter, counter * 3, u32(rng() % 100), 0x3F800000u + (rng() % 4096),
                    (rng() % 16) ? 0u : rng(), 0xFFFFFFFFu, rng() % 2, rng()};
      const u8* p = reinterpret_cast<const u8*>(rec);
      d.insert(d.end(), p, p + sizeof rec);
    }
    d.resize(SIZE);
    return d;
  }();
  return data;
}

const std::vector<u8>& corpus(int which) { return which == 0 ? text_corpus() : binary_corpus(); }

#if QEL_BENCH_ZLIB
const std::vector<u8>& zlib_stream(int which) {
  static std::vector<u8> streams[2];
  std::vector<u8>& s = streams[which];
  if (s.empty()) {
    const std::vector<u8>& in = corpus(which);
    uLongf n = compressBound(uLong(in.size()));
    s.resize(n);
    compress2(s.data(), &n, in.data(), uLong(in.size()), 6);
    s.resize(n);
  }
  return s;
}

void BM_InflateQel(benchmark::State& state) {
  int which = int(state.range(0));
  const std::vector<u8>& in = zlib_stream(which);
  std::vector<u8> out(corpus(which).size());
  for (auto _ : state) {
    u32 size = u32(out.size());
    if (codecs::deflate::zlib_decompress(out.data(), &size, in.data(), u32(in.size())) != codecs::deflate::OK) {
      state.SkipWithError("inflate failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(i64(state.iterations()) * i64(out.size()));
  state.SetLabel(which == 0 ? "text" : "binary");
}

void BM_InflateZlib(benchmark::State& state) {
  int which = int(state.range(0));
  const std::vector<u8>& in = zlib_stream(which);
  std::vector<u8> out(corpus(which).size());
  for (auto _ : state) {
    uLongf size = uLongf(out.size());
    uncompress(out.data(), &size, in.data(), uLong(in.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(i64(state.iterations()) * i64(out.size()));
  state.SetLabel(which == 0 ? "text" : "binary");
}

void BM_DeflateZlibLevel1(benchmark::State& state) {
  int which = int(state.range(0));
  const std::vector<u8>& in = corpus(which);
  std::vector<u8> out(compressBound(uLong(in.size())));
  uLongf size = 0;
  for (auto _ : state) {
    size = uLongf(out.size());
    compress2(out.data(), &size, in.data(), uLong(in.size()), 1);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(i64(state.iterations()) * i64(in.size()));
  state.counters["ratio"] = double(size) / double(in.size());
  state.SetLabel(which == 0 ? "text" : "binary");
}

void BM_Crc32Zlib(benchmark::State& state) {
  const std::vector<u8>& in = binary_corpus();
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0, in.data(), uInt(in.size())));
  state.SetBytesProcessed(i64(state.iterations()) * i64(in.size()));
}

void BM_Adler32Zlib(benchmark::State& state) {
  const std::vector<u8>& in = binary_corpus();
  for (auto _ : state) benchmark::DoNotOptimize(adler32(1, in.data(), uInt(in.size())));
  state.SetBytesProcessed(i64(state.iterations()) * i64(in.size()));
}

BENCHMARK(BM_InflateQel)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateZlib)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflateZlibLevel1)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Adler32Zlib)->Unit(benchmark::kMillisecond);
#endif

void BM_DeflateQel(benchmark::State& state) {
  int which = int(state.range(0));
  const std::vector<u8>& in = corpus(which);
  std::vector<u8> out(in.size() * 9 / 8 + 64);
  u32 size = 0;
  for (auto _ : state) {
    size = u32(out.size());
    codecs::deflate::compress(out.data(), &size, in.data(), u32(in.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(i64(state.iterations()) * i64(in.size()));
  state.counters["ratio"] = double(size) / double(in.size());
  state.SetLabel(which == 0 ? "text" : "binary");
}

void BM_Crc32Qel(benchmark::State& state) {
  const std::vector<u8>& in = binary_corpus();
  for (auto _ : state) benchmark::DoNotOptimize(codecs::checksum::crc32(in.data(), in.size()));
  state.SetBytesProcessed(i64(state.iterations()) * i64(in.size()));
}

void BM_Adler32Qel(benchmark::State& state) {
  const std::vector<u8>& in = binary_corpus();
  for (auto _ : state) benchmark::DoNotOptimize(codecs::checksum::adler32(in.data(), in.size()));
  state.SetBytesProcessed(i64(state.iterations()) * i64(in.size()));
}

const std::vector<u8>& hundred_mb() {
  static const std::vector<u8> data = [] {
    std::vector<u8> d(100u << 20);
    std::mt19937 rng(9);
    for (std::size_t i = 0; i < d.size(); i += 4) {
      u32 r = rng();
      std::memcpy(&d[i], &r, 4);
    }
    return d;
  }();
  return data;
}

void BM_Base64Encode(benchmark::State& state) {
  const std::vector<u8>& in = hundred_mb();
  for (auto _ : state) benchmark::DoNotOptimize(codecs::base::encode_64(in.data(), in.size()));
  state.SetBytesProcessed(i64(state.iterations()) * i64(in.size()));
}

void BM_Base64Decode(benchmark::State& state) {
  static const std::string text = codecs::base::encode_64(hundred_mb().data(), hundred_mb().size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(codecs::base::decode_64(reinterpret_cast<const u8*>(text.data()), 1, u32(text.size())));
  }
  state.SetBytesProcessed(i64(state.iterations()) * i64(hundred_mb().size()));
}

BENCHMARK(BM_DeflateQel)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Adler32Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond);

}  // namespace

QEL_BENCHMARK_MAIN();
