// What the unit tests share: a guard and a fixture that run the collector
// and put the stacks back, values loaded from Qel text or built from cells,
// code run inside a catch frame (the error it raised, or its value), mold
// and form as text, action calls as the interpreter makes them, and a
// recorder that stands in for the interpreter's on-deep-change* call.
//
// Every value these helpers make is pushed on the arguments stack (so it is
// rooted) unless its comment says otherwise; the collector may run at any
// allocation, at every one under QEL_GC_STRESS=1.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/ownership.hpp"
#include "runtime/actions.hpp"
#include "runtime/cell.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

namespace qel::test {

// ---- guards ---------------------------------------------------------------------------

// For its lifetime the collector runs; afterwards its switch, the arguments
// stack and the call frames are back as they were.
class Guard {
 public:
  Guard();
  ~Guard();
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  bool collecting_;
  Cell* base_;
  Cell* top_;
  stack::Frame* ctop_;
};

// A fixture whose every test runs under a Guard.
class RuntimeTest : public ::testing::Test {
 private:
  Guard guard_;
};

// ---- values from text and from cells ----------------------------------------------------

// The block of every value of the Qel source.
Cell* load_all(std::string_view source);
// The first value of the source (which must hold one), without a new-line
// marker.
Cell* load(std::string_view source);

// A block (or another block type) of copies of the cells. Series among them
// must be rooted elsewhere while the block is made.
Cell* block_of(std::initializer_list<Cell> cells, Type t = TYPE_BLOCK);
// A string! (or another string type) of the UTF-8 text, in the narrowest unit.
Cell* text(std::string_view utf8, Type t = TYPE_STRING);
Cell* text(const std::u32string& code_points, Type t = TYPE_STRING);
// A binary! of the bytes.
Cell* binary_of(const std::vector<u8>& bytes);
// A string! of the unit (1, 2 or 4 bytes) holding the code points, written
// into out (a rooted cell) with room for at least `capacity` units.
void make_text(Cell* out, const std::u32string& code_points, u32 unit, u32 capacity = 0);

// A typeset! of the datatypes.
Cell* typeset_of(const std::vector<Type>& types);

// Scalar cells (not pushed). Words are bound to the global context.
Cell integer_cell(i32 v);
Cell float_cell(double d);
Cell char_cell(u32 cp);
Cell datatype_cell(Type t);
Cell none_cell();
Cell word_cell(const char* name, Type t = TYPE_WORD);
Cell unbound_word(const char* name, Type t = TYPE_WORD);  // bound to no context

// Makes out (a rooted cell) an object! over a new object context of `slots`
// slots; with `handlers` its on-set information says it has change handlers.
Cell* make_object_at(Cell* out, u32 slots, bool handlers);

// make (or, with `to`, to) of the datatype from the spec, as the actions answer.
Cell* make_as(Type t, Cell* spec, bool to = false);

// A function! of the spec and body source texts (each one block).
Cell* make_function(const char* spec, const char* body);

// Whether the payload words of the two cells are equal (whatever the type).
bool same_payload(const Cell& a, const Cell& b);
// Coordinate i of a point2D! or point3D! (32-bit floats from word 1).
float coordinate(const Cell& point, u32 i);
// The x and y of a pair! (words 2 and 3).
i32 pair_x(const Cell& pair);
i32 pair_y(const Cell& pair);

// ---- reading values ---------------------------------------------------------------------

u32 cell_count(const Cell* block);               // cells from the head to the tail
Cell* cell_at(const Cell* block, u32 i);          // cell i from the head
std::string spelling(const Cell* word);           // the word's symbol
u32 unit_of(const Cell* str);                     // bytes per code point
std::u32string code_points(const Cell* str);      // from the index (at least 0) to the tail
std::u32string whole_text(const Cell* str);       // from the head to the tail
std::string utf8(const std::u32string& text);
// The reflect action of the value for the field word ("spec", "body", ...).
Cell* reflect(Cell* value, const char* field);

// ---- mold and form ------------------------------------------------------------------------

struct MoldFlags {
  bool only = false;
  bool all = false;
  bool flat = false;
};
// What the value's mold (or form) handler writes into a new string. A part of
// 0 or more is a /part budget; `left` receives what the handler answers is
// left of the budget.
std::string printed(const Cell* v, bool mold, MoldFlags flags = {}, i32 part = -1,
                    i32* left = nullptr);
// mold and form as the natives answer them: a /part budget also cuts the text.
std::string molded(const Cell* v, MoldFlags flags = {}, i32 part = -1);
std::string formed(const Cell* v, i32 part = -1);
inline std::string molded(const Cell& v, MoldFlags flags = {}, i32 part = -1) {
  return molded(&v, flags, part);
}
inline std::string formed(const Cell& v, i32 part = -1) { return formed(&v, part); }
// formed(v, true) would take the flag for a /part budget of 1 (mold is molded).
std::string formed(const Cell* v, bool) = delete;
std::string formed(const Cell& v, bool) = delete;

// ---- catching errors ------------------------------------------------------------------------

// What a run raised: the error's id and copies of its argument cells (a series
// among them is not kept alive: read it before anything allocates, or ask for
// the error to be kept).
struct Raised {
  Err id;
  Cell arg1, arg2, arg3;
};

// Opens a catch frame, runs f and answers the error it raised, if any; the
// arguments stack and the call frames are back as they were afterwards. With
// `keep` (a rooted cell, e.g. one pushed before) the error value is copied
// there.
std::optional<Raised> caught(const std::function<void()>& f, Cell* keep = nullptr);

// The id of what was caught, if anything.
inline std::optional<Err> raised_id(const std::optional<Raised>& r) {
  if (!r) return std::nullopt;
  return r->id;
}

// The same as caught, answering the id alone.
inline std::optional<Err> raised(const std::function<void()>& f, Cell* keep = nullptr) {
  return raised_id(caught(f, keep));
}

// Runs f in a catch frame; answers what f answers, or "!" and the id word of
// the error it raised. The cycle stack is emptied afterwards (an error can
// leave entries on it).
std::string attempt(const std::function<std::string()>& f);

// A value, or the error raised instead of it.
struct Outcome {
  Cell value{};
  std::optional<Err> error;
};

// Runs f (which answers a cell) in a catch frame; its answer is copied out.
template <class F>
Outcome outcome_of(F&& f) {
  Outcome o;
  o.error = raised([&] { o.value = *f(); });
  return o;
}

// The outcome for messages: the type and number of a value (an integer!'s or
// char!'s code, else the double), or the error's id.
std::string describe(const Outcome& o);
// The outcome is a value of the type and payload of `want` (floats bit for
// bit); `what` names the case in the messages.
void expect_value(const Outcome& got, const Cell& want, const std::string& what);
// The outcome is the error `want`.
void expect_error(const Outcome& got, Err want, const std::string& what);

// Calls the action's entry on the arguments as the interpreter does: in a
// frame of their own, refs[k] the offset of refinement k's first argument from
// the first argument (-1, or absent from the vector: not used).
Outcome call_action(Action a, std::initializer_list<Cell> args, std::vector<i32> refs = {});

// ---- change events of owned series -------------------------------------------------------

// For its lifetime stands in for the interpreter's call of an owner's
// on-deep-change*: every event is recorded as "action index part". Holds an
// owner object (with change handlers) and a field word to bind series to.
class ChangeEvents {
 public:
  ChangeEvents();
  ~ChangeEvents();
  ChangeEvents(const ChangeEvents&) = delete;
  ChangeEvents& operator=(const ChangeEvents&) = delete;

  std::vector<std::string> events;
  Cell* owner() { return owner_.get(); }
  Cell* field() { return field_.get(); }
  // The action words of the events, in order.
  std::vector<std::string> actions() const;

 private:
  roots::LocalCell owner_;
  roots::LocalCell field_;
  ownership::DeepChangeHook saved_;
};

}  // namespace qel::test
