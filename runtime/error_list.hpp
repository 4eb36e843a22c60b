// The error catalogue: categories, then per category its ids in field order
// with their message templates (Qel text: a string, or a block in which
// :arg1 :arg2 :arg3 stand for the arguments). An id's code is
// category * 100 + its position in the category, so the order is fixed:
// scripts and saved errors refer to errors by code.
#pragma once

// QEL_ERROR_CATEGORIES(X): X(index, member, word, title)
#define QEL_ERROR_CATEGORIES(X)                      \
  X(0, throw, "throw", "Throw Error")               \
  X(1, note, "note", "Note")                        \
  X(2, syntax, "syntax", "Syntax Error")            \
  X(3, script, "script", "Script Error")            \
  X(4, math, "math", "Math Error")                  \
  X(5, access, "access", "Access Error")            \
  X(6, reserved1, "reserved1", "Reserved1 Error")   \
  X(7, reserved2, "reserved2", "Reserved2 Error")   \
  X(8, user, "user", "User Error")                  \
  X(9, internal, "internal", "Internal Error")

// QEL_ERRORS(X): X(category member, id member, id word, message)
#define QEL_ERRORS(X)                                                                        \
  X(throw, break, "break", "\"no loop to break\"")                                           \
  X(throw, return, "return", "\"return or exit not in function\"")                           \
  X(throw, throw, "throw", "[\"no catch for throw:\" :arg1]")                                \
  X(throw, continue, "continue", "\"no loop to continue\"")                                  \
  X(script, no_value, "no-value", "[:arg1 \"has no value\"]")                                \
  X(script, need_value, "need-value", "[:arg1 \"needs a value\"]")                           \
  X(script, no_return, "no-return", "\"block did not return a value\"")                      \
  X(script, expect_arg, "expect-arg", "[:arg1 \"does not allow\" :arg2 \"for its\" :arg3 \"argument\"]") \
  X(script, invalid_compare, "invalid-compare", "[\"cannot compare\" :arg1 \"with\" :arg2]") \
  X(script, bad_path_type, "bad-path-type", "[\"path\" :arg1 \"is not valid for\" :arg2 \"type\"]") \
  X(script, bad_path_type2, "bad-path-type2", "[:arg1 \"is not valid for\" :arg2 \"type\"]") \
  X(script, invalid_refine_arg, "invalid-refine-arg", "[\"invalid\" :arg1 \"argument:\" :arg2]") \
  X(script, invalid_part, "invalid-part", "[\"invalid /part count:\" :arg1]")                \
  X(script, out_of_range, "out-of-range", "[\"value out of range:\" :arg1]")                 \
  X(script, bad_make_arg, "bad-make-arg", "[\"cannot MAKE\" :arg1 \"from:\" :arg2]")         \
  X(script, not_defined, "not-defined", "[:arg1 \"is not defined in this context\"]")       \
  X(script, invalid_char, "invalid-char", "[\"invalid character:\" :arg1]")                  \
  X(script, too_long, "too-long", "\"Content too long\"")                                    \
  X(script, not_in_context, "not-in-context", "[:arg1 \"is not in the specified context\"]") \
  X(script, invalid_chars, "invalid-chars", "\"contains invalid characters\"")               \
  X(script, bad_to_arg, "bad-to-arg", "[\"cannot convert to\" :arg1 \"from:\" :arg2]")       \
  X(math, overflow, "overflow", "\"math or number overflow\"")                               \
  X(math, zero_divide, "zero-divide", "\"attempt to divide by zero\"")                       \
  X(access, no_port_action, "no-port-action", "\"port action not supported\"")               \
  X(access, invalid_utf8, "invalid-utf8", "[\"invalid UTF-8 encoding:\" :arg1]")             \
  X(user, message, "message", ":arg1")                                                       \
  X(internal, bad_path, "bad-path", "[\"bad path:\" :arg1]")                                 \
  X(internal, not_here, "not-here", "[:arg1 \"not supported on your system\"]")              \
  X(internal, no_memory, "no-memory", "\"not enough memory\"")                               \
  X(internal, wrong_mem, "wrong-mem", "\"failed to release memory\"")                        \
  X(internal, stack_overflow, "stack-overflow", "\"stack overflow\"")                        \
  X(internal, too_deep, "too-deep", "\"block or paren series is too deep to display\"")      \
  X(internal, no_cycle, "no-cycle", "\"circular reference not allowed\"")                    \
  X(internal, not_done, "not-done", "\"reserved for future use (or not yet implemented)\"")  \
  X(internal, invalid_error, "invalid-error", "[\"invalid error object field value:\" :arg1]")
