// Number text, one million values per run, next to std::to_chars and
// std::from_chars in the same run: form and mold of floats and integers
// (each text appended to one string, as molding a block of numbers does),
// and reading the molded texts back.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "datatypes/string.hpp"
#include "eval/lexer.hpp"
#include "runtime/actions.hpp"
#include "runtime/cell.hpp"
#include "runtime/float_text.hpp"
#include "runtime/roots.hpp"
#include "runtime/startup.hpp"

using namespace qel;

namespace {

constexpr u32 COUNT = 1000000;

// Doubles of every magnitude (random bit patterns without the specials) and
// short decimal fractions, half and half.
const std::vector<double>& doubles() {
  static std::vector<double> v;
  if (v.empty()) {
    std::mt19937_64 rng(42);
    std::uniform_int_distribution<int> cents(0, 1000000);
    while (v.size() < COUNT) {
      if (v.size() % 2) {
        v.push_back(cents(rng) / 100.0);
        continue;
      }
      u64 bits = rng();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      if (std::isfinite(d)) v.push_back(d);
    }
  }
  return v;
}

const std::vector<i32>& integers() {
  static std::vector<i32> v;
  if (v.empty()) {
    std::mt19937 rng(42);
    v.resize(COUNT);
    for (i32& i : v) i = i32(rng());
  }
  return v;
}

// The molded texts of the values, for the readers.
std::vector<std::string> texts_of(const std::vector<double>& values) {
  std::vector<std::string> out;
  out.reserve(values.size());
  for (double x : values) out.emplace_back(float_text::float_to_text(x, 0, true).view());
  return out;
}
std::vector<std::string> texts_of(const std::vector<i32>& values) {
  std::vector<std::string> out;
  out.reserve(values.size());
  for (i32 x : values) out.push_back(std::to_string(x));
  return out;
}

Cell cell_of(double d) {
  Cell c;
  return *make_float(&c, d);
}
Cell cell_of(i32 i) {
  Cell c;
  return *make_integer(&c, i);
}

template <class T>
void bench_qel_text(benchmark::State& state, const std::vector<T>& values, bool mold) {
  runtime::init_for_tests();
  roots::LocalCell out;
  string::make_at(out.get(), COUNT * 8, 1);
  for (auto _ : state) {
    string::reset_buffer(out.get());
    for (T x : values) {
      Cell c = cell_of(x);
      if (mold) actions::mold(&c, out.get(), false, false, false, nullptr, 0x7FFFFFFF, 0);
      else actions::form(&c, out.get(), nullptr, 0x7FFFFFFF);
      string::append_ascii(out.get(), " ", 1);
    }
    benchmark::DoNotOptimize(int_of(&out.cell));
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

// precision 0: the shortest digits (what mold writes); 16: what form writes.
template <class T>
void bench_std_text(benchmark::State& state, const std::vector<T>& values, int precision) {
  std::string out;
  out.reserve(std::size_t(COUNT) * 24);
  char buf[64];
  for (auto _ : state) {
    out.clear();
    for (T x : values) {
      std::to_chars_result r;
      if constexpr (std::is_floating_point_v<T>) {
        r = precision ? std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, precision)
                      : std::to_chars(buf, buf + sizeof buf, x);
      } else {
        r = std::to_chars(buf, buf + sizeof buf, x);
      }
      out.append(buf, r.ptr);
      out.push_back(' ');
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

void BM_FormFloat_Qel(benchmark::State& s) { bench_qel_text(s, doubles(), false); }
void BM_FormFloat_Std(benchmark::State& s) { bench_std_text(s, doubles(), 16); }
void BM_MoldFloat_Qel(benchmark::State& s) { bench_qel_text(s, doubles(), true); }
void BM_MoldFloat_Std(benchmark::State& s) { bench_std_text(s, doubles(), 0); }
void BM_FormInteger_Qel(benchmark::State& s) { bench_qel_text(s, integers(), false); }
void BM_FormInteger_Std(benchmark::State& s) { bench_std_text(s, integers(), 0); }

void BM_ReadFloat_Qel(benchmark::State& state) {
  runtime::init_for_tests();
  static const std::vector<std::string> texts = texts_of(doubles());
  for (auto _ : state) {
    double sum = 0;
    for (const std::string& t : texts) {
      i32 status;
      sum += lexer::text_to_float(reinterpret_cast<const u8*>(t.data()), u32(t.size()), 1, &status);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

void BM_ReadFloat_Std(benchmark::State& state) {
  static const std::vector<std::string> texts = texts_of(doubles());
  for (auto _ : state) {
    double sum = 0;
    for (const std::string& t : texts) {
      double d = 0;
      std::from_chars(t.data(), t.data() + t.size(), d);
      sum += d;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

void BM_ReadInteger_Qel(benchmark::State& state) {
  runtime::init_for_tests();
  static const std::vector<std::string> texts = texts_of(integers());
  for (auto _ : state) {
    i64 sum = 0;
    for (const std::string& t : texts) {
      i32 status;
      sum += lexer::text_to_integer(reinterpret_cast<const u8*>(t.data()), u32(t.size()), 1, &status);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

void BM_ReadInteger_Std(benchmark::State& state) {
  static const std::vector<std::string> texts = texts_of(integers());
  for (auto _ : state) {
    i64 sum = 0;
    for (const std::string& t : texts) {
      i32 v = 0;
      std::from_chars(t.data(), t.data() + t.size(), v);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * COUNT);
}

}  // namespace

BENCHMARK(BM_FormFloat_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormFloat_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MoldFloat_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MoldFloat_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormInteger_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormInteger_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFloat_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFloat_Std)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadInteger_Qel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadInteger_Std)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
