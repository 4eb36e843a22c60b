// handle!: the slot table behind the cells, the text forms and comparison.
#include <gtest/gtest.h>

#include "datatypes/handle.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/resources.hpp"
#include "runtime/roots.hpp"
#include "test_support.hpp"

namespace handle_test {

using namespace qel;
using namespace qel::test;

namespace {

int g_released = 0;
void count_release(void*) { ++g_released; }

class HandleTest : public RuntimeTest {};

}  // namespace

TEST_F(HandleTest, SlotsAreFreedAndReused) {
  int a = 0, b = 0;
  roots::LocalCell first, second;
  handle::make_at(first.get(), &a, 0);
  EXPECT_EQ(handle::pointer_of(first.get()), &a);
  i32 slot = handle::slot_of(first.get());
  ASSERT_GE(slot, 0);
  EXPECT_EQ(handle::number_of(first.get()), u32(slot + 1));
  handle::free(first.get(), false);
  EXPECT_EQ(handle::pointer_of(first.get()), nullptr) << "freeing clears the slot";
  handle::make_at(second.get(), &b, 0);
  EXPECT_EQ(handle::slot_of(second.get()), slot) << "the freed slot is taken again";
  EXPECT_EQ(handle::pointer_of(second.get()), &b);
  handle::free(second.get(), false);
  handle::free(second.get(), false);  // twice: nothing happens
}

TEST_F(HandleTest, UnreachableHandlesAreReleasedThroughTheirKind) {
  static int kind = resources::register_type("test-kind", count_release);
  int x = 0;
  g_released = 0;
  roots::LocalCell h;
  handle::make_at(h.get(), &x, u32(kind));
  gc::do_cycle();
  EXPECT_EQ(g_released, 0);
  EXPECT_EQ(handle::pointer_of(h.get()), &x);
  make_none(h.get());
  gc::do_cycle();
  EXPECT_EQ(g_released, 1);
}

TEST_F(HandleTest, FormMoldAndCompare) {
  static int kind = resources::register_type("font", nullptr);
  roots::LocalCell null, plain, font;
  handle::make_at(null.get(), nullptr, 0);
  int x = 0, y = 0;
  handle::make_at(plain.get(), &x, 0);
  handle::make_at(font.get(), &y, u32(kind));
  EXPECT_EQ(molded(null.get()), "handle!");
  EXPECT_EQ(molded(null.get(), {.all = true}), "#[handle! 00000000h]");
  EXPECT_EQ(formed(null.get()), "00000000h");
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08Xh", handle::number_of(font.get()));
  EXPECT_EQ(molded(font.get(), {.all = true}), std::string("#[handle! ") + hex + " font]");
  EXPECT_EQ(formed(plain.get()).size(), 9u);

  // Another datatype cannot be compared with a handle: equality is false,
  // ordering raises, as for every other type.
  Cell one = integer_cell(1);
  auto cmp = actions::handler<act::Compare>(plain.get(), ACT_compare);
  EXPECT_EQ(cmp(plain.get(), &one, COMP_EQUAL), COMPARE_INCOMPARABLE);
  EXPECT_FALSE(actions::compare(plain.get(), &one, COMP_EQUAL));
  EXPECT_EQ(raised([&] { actions::compare(plain.get(), &one, COMP_GREATER); }),
            Err::script_invalid_compare);
  EXPECT_EQ(cmp(plain.get(), plain.get(), COMP_EQUAL), 0);
  EXPECT_EQ(cmp(plain.get(), font.get(), COMP_LESSER),
            handle::number_of(plain.get()) < handle::number_of(font.get()) ? -1 : 1);
  handle::free(plain.get(), false);
  handle::free(font.get(), false);
}

}  // namespace handle_test
