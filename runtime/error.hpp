// Raising errors and the non-local transfers of the language.
//
// Every transfer (error, break, continue, return, exit, throw) carries a code.
// The sender unwinds the call stack to the target frame and sets the stack
// registers as the receiver expects them, records the code in
// runtime::rt.thrown, and then throws a C++ Transfer. A catching point is a
// C++ try/catch that takes a transfer whose code is at most its level and
// rethrows the others. Errors are rare, so an exception is fine for them;
// the evaluator turns return/break/continue of ordinary code into statuses
// and never throws for them.
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

// Transfer codes and catch levels.
inline constexpr u32 THROW_ERROR = 0x7FFFFFFF;
inline constexpr u32 THROW_BREAK = 0x7FFFFFFE;
inline constexpr u32 THROW_CONTINUE = 0x7FFFFFFD;
inline constexpr u32 THROW_RETURN = 0x7FFFFFFC;
inline constexpr u32 THROW_EXIT = 0x7FFFFFFB;
inline constexpr u32 THROW_THROW = 0x7FFFFFFA;
inline constexpr u32 THROW_POWER = 0x7FFFFFF9;  // integer power falls back to float

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

// Builds an error value into out (which must be rooted, e.g. on the stack).
Cell* create(Cell* out, Err e, const Cell* arg1, const Cell* arg2, const Cell* arg3);
Cell* field(const Cell* error, Field f);
Err id_of(const Cell* error);

// What an uncaught error does: report on standard error and exit with 254.
// Replaceable, so that a host (the GUI) can show it its own way.
using UncaughtHandler = void (*)(Cell* error);
extern UncaughtHandler uncaught;
// The report text ("*** Script Error: ...\n*** Where: ...\n*** Near : ...").
std::string report(const Cell* error);

}  // namespace error

namespace stack {
// The senders of the transfers; none of them returns.
[[noreturn]] void throw_error(Cell* error);
[[noreturn]] void throw_loop(bool with_value, bool cont);
[[noreturn]] void throw_value(bool with_value, bool from_top);
[[noreturn]] void throw_return(u32 code);
}  // namespace stack

}  // namespace qel
