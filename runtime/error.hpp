// Raising errors, error! values and the non-local transfers of the language.
//
// Every transfer (error, break, continue, return, exit, throw) carries a code.
// The sender unwinds the call stack to the target frame and sets the stack
// registers as the receiver expects them, records the code in
// runtime::rt.thrown, and then throws a C++ Transfer. A catching point is a
// C++ try/catch that takes a transfer whose code is at most its level and
// rethrows the others. Errors are rare, so an exception is fine for them;
// the evaluator turns return/break/continue of ordinary code into statuses
// and never throws for them.
//
// An error value is an object over a context of ten fields (see Field) with
// class id object::CLASS_ERROR. The error! module makes and reads error
// values and raises them (datatypes/error_object.cpp defines the error
// namespace declared here, and fire). An error is made from the catalogue
// (error_list.hpp), which lives as the `errors` object: one object per category whose fields are `code`,
// `type` (the category's title) and then one field per id holding the
// message template. The error's `type` and `id` fields are words naming a
// category and one of its ids; an error's form is its report.
#pragma once

#include <string>

#include "runtime/cell.hpp"
#include "runtime/error_list.hpp"

namespace qel {

enum ErrCategory : u8 {
#define QEL_X(index, member, word, title) ERR_CAT_##member = index,
  QEL_ERROR_CATEGORIES(QEL_X)
#undef QEL_X
};
inline constexpr int ERR_CATEGORY_COUNT = 10;

enum class Err : u16 {
#define QEL_X(cat, member, word, message) cat##_##member,
  QEL_ERRORS(QEL_X)
#undef QEL_X
  count_
};

struct ErrInfo {
  u8 category;
  u8 field;          // index of the id in its category object (code and type first)
  const char* word;  // the id word
  const char* message;
};
const ErrInfo& err_info(Err e);
i32 err_code(Err e);  // category * 100 + field - 2
const char* category_word(int category);
const char* category_title(int category);
// The id at a field index of a category, or Err::count_ when there is none.
Err err_at(int category, u32 field);
// The fields of a category object: code, type and one per id.
u32 category_field_count(int category);

// Transfer codes and catch levels.
inline constexpr u32 THROW_ERROR = 0x7FFFFFFF;
inline constexpr u32 THROW_BREAK = 0x7FFFFFFE;
inline constexpr u32 THROW_CONTINUE = 0x7FFFFFFD;
inline constexpr u32 THROW_RETURN = 0x7FFFFFFC;
inline constexpr u32 THROW_EXIT = 0x7FFFFFFB;
inline constexpr u32 THROW_THROW = 0x7FFFFFFA;

struct Transfer {
  u32 code;
};

// Raises the error: builds the error value with up to three arguments (absent
// ones are none) and throws it to the nearest catch or try frame. The argument
// cells may lie anywhere: they are copied before anything is allocated.
[[noreturn]] void fire(Err e, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
                       const Cell* arg3 = nullptr);

namespace error {

// Field indexes of an error value.
enum Field : u32 { F_CODE, F_TYPE, F_ID, F_ARG1, F_ARG2, F_ARG3, F_NEAR, F_WHERE, F_STACK, F_FILES };
inline constexpr u32 FIELD_COUNT = 10;
inline constexpr u32 STACK_INDEX = F_STACK;

void init();          // registers error!
void init_catalog();  // the `errors` object and the standard error object

// The `errors` catalogue object and the standard error object (every field
// none) that new errors copy.
const Cell* catalog();
const Cell* standard();

// Builds an error value into out (which must be rooted, e.g. on the stack).
Cell* create(Cell* out, Err e, const Cell* arg1, const Cell* arg2, const Cell* arg3);
// make error! from an integer code, a block or a string; pushes the result.
Cell* make(Cell* proto, Cell* spec, Type type);

// Field f of an error (valid until the next allocation).
Cell* field(const Cell* error, Field f);
// The node of the error's context (which identifies the error).
u32 node_of(const Cell* error);
// The id named by the error's type and id words; Err::count_ when they name
// no entry of the catalogue.
Err id_of(const Cell* error);
// Symbol ids of the type and id words (0 when the field holds no word).
u32 get_type(const Cell* error);
u32 get_id(const Cell* error);
// Sets `where` to the word unless it already holds a value.
void get_where(Cell* error, const Cell* word);
// Turns a recorded call-stack position in `stack` into a block of the calls
// (outermost first), and copies the source files into `files`. Does nothing
// unless the value is an error whose `stack` holds an integer.
void get_stack(Cell* error);

// out becomes the name of argument n (0-based) of the function that the
// nearest call refers to, counting the words, lit-words, get-words and
// refinements of its spec, as a word!; the word <anon> when the call names
// no native!, action!, op!, function! or routine!, or the spec is shorter.
// Raisers use it to name the argument at fault.
Cell* arg_word(u32 n, Cell* out);

// The two settings the report reads: the stack-trace level and the source
// files being run. They are fields 2 and 3 of the system `state` object once
// start-up has made it (state_context set); until then module defaults
// (stack-trace 1, no files).
extern u32 state_context;
Cell* stack_trace_setting();
Cell* source_files_setting();

// What an uncaught error does: report on standard error and exit with 254.
// Replaceable, so that a host (the GUI) can show it its own way.
using UncaughtHandler = void (*)(Cell* error);
extern UncaughtHandler uncaught;
// Set by a front end whose process is a command-line program: its host shows
// nothing of its own, an uncaught error is only reported on standard error.
extern bool report_only;
// The report text ("*** Script Error: ...\n*** Where: ...\n*** Near : ..."),
// the error's form.
std::string report(const Cell* error);

}  // namespace error

namespace stack {
struct Frame;
// The senders of the transfers; none of them returns.
[[noreturn]] void throw_error(Cell* error);
[[noreturn]] void throw_loop(bool with_value, bool cont);
[[noreturn]] void throw_value(bool with_value, bool from_top);
[[noreturn]] void throw_return(u32 code);
// A throw from the running native's frame: the value and its name (unset
// when none) become the frame's first two cells, then throw_return.
[[noreturn]] void send_throw(const Cell* value, const Cell* name);
// Sends a break, continue, return or exit to the frame `target`, which must
// be open (below the top record): the frames above it are closed, as the
// senders above do, and its base cell gets the carried value for break and
// return (unset for continue and exit). Used to send on, in exception form, a
// transfer whose target was already chosen.
[[noreturn]] void throw_to(u32 code, Frame* target, const Cell* value);
}  // namespace stack

}  // namespace qel
