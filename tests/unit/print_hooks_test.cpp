// The console's print hooks: printed values and runtime texts reach the
// terminal's vprint (gui-console-ctx/terminal/vprint), untraced, and a print
// with too little stack left raises stack-overflow instead.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "console/print_hooks.hpp"
#include "datatypes/context.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/library_routines.hpp"
#include "runtime/hooks.hpp"
#include "tests/unit/test_support.hpp"

using namespace qel;
using namespace qel::test;

namespace {

// What vprint received: the text, the line-end flag, whether tracing was on.
struct Printed {
  std::string text;
  bool line_end;
  bool traced;
  bool operator==(const Printed&) const = default;
};
std::vector<Printed> g_printed;

void record_vprint() {
  g_printed.push_back({string::to_utf8(api::arg(0)), !logic::is_false(api::arg(1)), interp::trace});
}

Cell* field(Cell* obj, const char* name) {
  u32 ctx = object::context_of(obj);
  return context::slot(ctx, u32(context::find_word(ctx, symbol::make(name), true)));
}

class PrintHooksTest : public RuntimeTest {
 protected:
  void SetUp() override {
    g_printed.clear();
    // gui-console-ctx: [terminal: [vprint: a routine that records]]
    library::define_global_routine("test-vprint", "[text lf?]", record_vprint);
    Cell ctx = *make_as(TYPE_OBJECT, load("[terminal: 0]"));
    Cell terminal = *make_as(TYPE_OBJECT, load("[vprint: 0]"));
    copy_cell(word::get_value_cell(intern_word("test-vprint")), field(&terminal, "vprint"));
    copy_cell(&terminal, field(&ctx, "terminal"));
    Cell w = *intern_word("gui-console-ctx");
    word::set(&w, &ctx);
    console::add_gui_print();
  }
  void TearDown() override {
    hooks::remove(console::qel_print_gui, console::rs_print_gui);
    Cell w = *intern_word("gui-console-ctx");
    Cell none{};
    make_none(&none);
    word::set(&w, &none);
  }
};

TEST_F(PrintHooksTest, ValuesAndRuntimeTextsReachVprint) {
  hooks::call_event_hooks(text("value"), 1);
  hooks::call_event_hooks(text("prin"), 0);
  const char bytes[] = "runtime text\0not this";
  console::rs_print_gui(bytes, std::size_t(-1), 1);  // up to the zero byte
  console::rs_print_gui("\xC3\xA9t\xC3\xA9", 5, 0);  // UTF-8, the buffer reused
  hooks::call_output_hooks("abc", 2, 0);
  std::vector<Printed> want = {{"value", true, false},     {"prin", false, false},
                               {"runtime text", true, false}, {"\xC3\xA9t\xC3\xA9", false, false},
                               {"ab", false, false}};
  EXPECT_EQ(g_printed, want);
}

TEST_F(PrintHooksTest, PrintsUntracedAndPutsTracingBack) {
  interp::trace = true;
  console::qel_print_gui(text("x"), 1);
  bool after = interp::trace;
  interp::trace = false;
  ASSERT_EQ(g_printed.size(), 1u);
  EXPECT_FALSE(g_printed[0].traced);
  EXPECT_TRUE(after);
}

TEST_F(PrintHooksTest, TooLittleStackLeftRaisesStackOverflow) {
  Cell* str = text("deep");
  Cell* top = stack::top;
  while (stack::end - stack::top >= 75) make_unset(stack::push());
  EXPECT_EQ(raised([&] { console::qel_print_gui(str, 1); }), Err::internal_stack_overflow);
  stack::top = top;
  stack::Frame* ctop = stack::ctop;
  while (stack::cend - stack::ctop >= 64) stack::mark(1, 0, stack::FRAME_NATIVE);
  EXPECT_EQ(raised([&] { console::qel_print_gui(str, 1); }), Err::internal_stack_overflow);
  stack::ctop = ctop;
  stack::top = top;
  EXPECT_TRUE(g_printed.empty());
  // With room again, it prints.
  console::qel_print_gui(str, 1);
  EXPECT_EQ(g_printed.size(), 1u);
}

TEST_F(PrintHooksTest, NoTerminalPrintsNothing) {
  Cell w = *intern_word("gui-console-ctx");
  Cell none{};
  make_none(&none);
  word::set(&w, &none);
  console::qel_print_gui(text("nowhere"), 1);
  console::rs_print_gui("nowhere", 7, 1);
  EXPECT_TRUE(g_printed.empty());
}

}  // namespace
