// The system natives where a script cannot see the effect: the collector's
// switch, how long wait sleeps and its GUI hook, and the size of a real file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "eval/natives.hpp"
#include "platform/files.hpp"
#include "runtime/collector.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace qel::natives {
// Set by the GUI backend; wait calls it once after sleeping.
extern void (*gui_do_events)(bool no_wait);
}  // namespace qel::natives

namespace natives_word_test {

using namespace qel;
using namespace qel::test;

namespace {

// Calls a native entry in a frame of its own with the given arguments and
// refinement positions; answers its result.
class NativeCall : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = stack::base;
    top_ = stack::top;
    saved_enabled_ = gc::enabled;
  }
  void TearDown() override {
    gc::enabled = saved_enabled_;
    stack::base = base_;
    stack::top = top_;
  }
  Cell call(natives::Entry entry, std::initializer_list<Cell> args, std::initializer_list<i32> refs) {
    stack::base = stack::top;
    for (const Cell& a : args) stack::push_cell(&a);
    i32 r[8];
    int k = 0;
    for (i32 v : refs) r[k++] = v;
    EXPECT_EQ(entry(r), 0u);
    Cell result = *stack::base;
    stack::top = stack::base;
    stack::base = base_;
    return result;
  }

 private:
  Cell* base_ = nullptr;
  Cell* top_ = nullptr;
  bool saved_enabled_ = false;
};

int g_events_calls = 0;
bool g_events_no_wait = false;
void count_events(bool no_wait) {
  ++g_events_calls;
  g_events_no_wait = no_wait;
}

}  // namespace

TEST_F(NativeCall, RecycleSwitchesTheCollector) {
  gc::enabled = true;
  Cell r = call(natives::recycle, {}, {-1, 0});
  EXPECT_FALSE(gc::enabled);
  EXPECT_EQ(type_of(&r), TYPE_UNSET);
  r = call(natives::recycle, {}, {0, -1});
  EXPECT_TRUE(gc::enabled);
  EXPECT_EQ(type_of(&r), TYPE_UNSET);
}

TEST_F(NativeCall, WaitSleepsForTheDurationThenRunsTheGuiHookOnce) {
  g_events_calls = 0;
  natives::gui_do_events = count_events;
  auto start = std::chrono::steady_clock::now();
  Cell r = call(natives::wait, {float_cell(0.03)}, {-1});
  auto slept = std::chrono::steady_clock::now() - start;
  natives::gui_do_events = nullptr;
  EXPECT_EQ(type_of(&r), TYPE_NONE);
  EXPECT_GE(slept, std::chrono::milliseconds(30));
  EXPECT_EQ(g_events_calls, 1);
  EXPECT_TRUE(g_events_no_wait);

  // A negative duration does not sleep.
  start = std::chrono::steady_clock::now();
  call(natives::wait, {float_cell(-5)}, {-1});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(FileSize, RealFileDirectoryAndMissingPath) {
  std::string path = testing::TempDir() + "qel-size-test-" + std::to_string(getpid());
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::string data(1234, 'x');
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  EXPECT_EQ(platform::file_size(path), 1234u);
  // The same path with a NUL and more after it names no file of ours.
  EXPECT_FALSE(platform::file_size(path + std::string(1, '\0') + "more"));
  std::remove(path.c_str());
  EXPECT_FALSE(platform::file_size(path));
  EXPECT_FALSE(platform::file_size(testing::TempDir()));
  EXPECT_FALSE(platform::file_size(""));
}

}  // namespace natives_word_test
