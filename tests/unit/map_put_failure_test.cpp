// A put that fails part way (memory runs out while the new key is copied)
// leaves the map as it was: the pair already written at the block's tail is
// a removed one, so length?, mold, reflect and a later put all agree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/map.hpp"
#include "platform/pages.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace map_put_failure_test {

using namespace qel;
using namespace qel::test;

namespace {

// Commits every page of the region still free, largest runs first, so that
// the next allocation needing fresh pages fails; gives them back on leaving.
class ExhaustedRegion {
 public:
  // A collection first, so that no garbage is left to give pages back.
  ExhaustedRegion() {
    gc::do_cycle();
    for (std::uint64_t size = std::uint64_t(1) << 31; size >= 4096; size /= 2) {
      while (std::uint32_t off = platform::commit_pages(size)) runs_.push_back({off, size});
    }
  }
  ~ExhaustedRegion() {
    for (auto& r : runs_) platform::release_pages(r.first, r.second);
  }

 private:
  std::vector<std::pair<std::uint32_t, std::uint64_t>> runs_;
};

// The value put for the key, or none.
Cell* select_of(const Cell* map, const Cell& key) {
  Cell* v = map::find_value(map, &key, map::MODE_EQUAL);
  return v ? stack::push_cell(v) : make_none(stack::push());
}

TEST(MapPutFailure, PairOfAFailedPutCountsAsRemoved) {
  Guard guard;
  Cell* map = make_as(TYPE_MAP, load("100"));  // room for the pair at the tail
  Cell a = word_cell("a"), one = integer_cell(1);
  map::set(map, &a, &one, false);
  Cell* key = text(std::string(8u << 20, 'k'));  // its copy needs fresh pages
  Cell two = integer_cell(2);
  std::optional<Err> error;
  {
    ExhaustedRegion full;
    error = raised([&] { map::set(map, key, &two, false); });
  }
  ASSERT_EQ(error, Err::internal_no_memory);
  EXPECT_EQ(map::key_count(map), 1u);
  // Compared without printing: the key is megabytes long.
  EXPECT_TRUE(molded(map) == "#[\n    a: 1\n]");
  EXPECT_TRUE(molded(reflect(map, "words")) == "[a]");
  // The key can be put afterwards, once, and the map grows past it.
  map::set(map, key, &two, false);
  map::set(map, key, &two, false);
  EXPECT_EQ(map::key_count(map), 2u);
  EXPECT_EQ(cell_count(reflect(map, "values")), 2u);
  for (i32 i = 0; i < 300; ++i) {
    Cell k = integer_cell(i), v = integer_cell(-i);
    map::set(map, &k, &v, false);
  }
  EXPECT_EQ(map::key_count(map), 302u);
  EXPECT_EQ(cell_count(reflect(map, "values")), 302u);
  EXPECT_EQ(molded(reflect(map, "values")).substr(0, 6), "[1 2 0");
}

TEST(MapPutFailure, PutWhoseTableCannotGrowLeavesTheMapAsItWas) {
  Guard guard;
  Cell* map = make_as(TYPE_MAP, load("[]"));
  const hash::Record* r = hash::record(map::table_of(map));
  // Integer keys up to the table's bound at 2^19 buckets: the next put
  // rebuilds it, and its new buckets (megabytes) need fresh pages.
  i32 n = 0;
  while (r->n_buckets < (1u << 19) || r->n_occupied < r->upper) {
    Cell k = integer_cell(++n);
    map::set(map, &k, &k, false);
    r = hash::record(map::table_of(map));
  }
  // Room for the new pair, so that only the table's growth can fail.
  u32 block = map::block_of(map);
  mem::expand_series_copy(block, mem::buffer_of(block)->used() + 64 * sizeof(Cell));
  Cell k = integer_cell(0);
  std::optional<Err> error;
  {
    ExhaustedRegion full;
    error = raised([&] { map::set(map, &k, &k, false); });
  }
  ASSERT_EQ(error, Err::internal_no_memory);
  EXPECT_EQ(map::key_count(map), u32(n));
  EXPECT_EQ(cell_count(reflect(map, "words")), u32(n));
  EXPECT_EQ(molded(select_of(map, k)), "none");
  // The put succeeds afterwards and the key is found once.
  map::set(map, &k, &k, false);
  EXPECT_EQ(map::key_count(map), u32(n + 1));
  EXPECT_EQ(cell_count(reflect(map, "words")), u32(n + 1));
  Cell last = integer_cell(n);
  EXPECT_EQ(molded(select_of(map, last)), std::to_string(n));
}

}  // namespace

}  // namespace map_put_failure_test
