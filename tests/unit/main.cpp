// Test main: brings the runtime up once before any test runs. Every test
// starts from the same stacks (and a fresh allocation count of the collector
// stress): what one leaves pushed (a plain TEST has no
// fixture that drops it) is dropped before the next, whatever their order.
#include <gtest/gtest.h>

#include "runtime/collector.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace {

class SameStacks : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override {
    start_ = qel::stack::Snapshot();
    qel::gc::restart_stress();  // each test a run of its own under the collector stress
  }
  void OnTestEnd(const testing::TestInfo&) override { start_.restore(); }
  qel::stack::Snapshot start_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  qel::runtime::init_for_tests();
  testing::UnitTest::GetInstance()->listeners().Append(new SameStacks);
  return RUN_ALL_TESTS();
}
