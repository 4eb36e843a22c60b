// The 62 actions in their fixed slot order: slot, member name, Qel name, form.
// Form D: the handler reads its arguments from the arguments stack (base cell
// and up) and leaves its result in the base cell. Form W: the entry reads the
// stack and calls a worker with explicit arguments; the handler has the typed
// signature named in the last column (see actions.hpp). NONE: no entry.
#pragma once

#define QEL_ACTIONS(X)                            \
  X(1, make, "make", Make)                        \
  X(2, random, "random", Random)                  \
  X(3, reflect, "reflect", Reflect)               \
  X(4, to, "to", Make)                            \
  X(5, form, "form", Form)                        \
  X(6, mold, "mold", Mold)                        \
  X(7, eval_path, "eval-path", EvalPath)          \
  X(8, set_path, "set-path", Dispatch)            \
  X(9, compare, "compare", Compare)               \
  X(10, absolute, "absolute", Dispatch)           \
  X(11, add, "add", Dispatch)                     \
  X(12, divide, "divide", Dispatch)               \
  X(13, multiply, "multiply", Dispatch)           \
  X(14, negate, "negate", Unary)                  \
  X(15, power, "power", Dispatch)                 \
  X(16, remainder, "remainder", Dispatch)         \
  X(17, round, "round", Round)                    \
  X(18, subtract, "subtract", Dispatch)           \
  X(19, even_q, "even?", Predicate)               \
  X(20, odd_q, "odd?", Predicate)                 \
  X(21, and_t, "and~", Dispatch)                  \
  X(22, complement, "complement", Unary)          \
  X(23, or_t, "or~", Dispatch)                    \
  X(24, xor_t, "xor~", Dispatch)                  \
  X(25, append, "append", Insert)                 \
  X(26, at, "at", Dispatch)                       \
  X(27, back, "back", Dispatch)                   \
  X(28, change, "change", Change)                 \
  X(29, clear, "clear", Unary)                    \
  X(30, copy, "copy", Copy)                       \
  X(31, find, "find", Find)                       \
  X(32, head, "head", Dispatch)                   \
  X(33, head_q, "head?", Dispatch)                \
  X(34, index_q, "index?", Dispatch)              \
  X(35, insert, "insert", Insert)                 \
  X(36, length_q, "length?", Length)              \
  X(37, move, "move", Move)                       \
  X(38, next, "next", Dispatch)                   \
  X(39, pick, "pick", Pick)                       \
  X(40, poke, "poke", Poke)                       \
  X(41, put, "put", Put)                          \
  X(42, remove, "remove", Remove)                 \
  X(43, reverse, "reverse", Reverse)              \
  X(44, select, "select", Find)                   \
  X(45, sort, "sort", Sort)                       \
  X(46, skip, "skip", Dispatch)                   \
  X(47, swap, "swap", Binary)                     \
  X(48, tail, "tail", Dispatch)                   \
  X(49, tail_q, "tail?", Dispatch)                \
  X(50, take, "take", Take)                       \
  X(51, trim, "trim", Trim)                       \
  X(52, create, "create", Unary)                  \
  X(53, close, "close", Unary)                    \
  X(54, delete_, "delete", Unary)                 \
  X(55, modify, "modify", Modify)                 \
  X(56, open, "open", Open)                       \
  X(57, open_q, "open?", Unary)                   \
  X(58, query, "query", Unary)                    \
  X(59, read, "read", Read)                       \
  X(60, rename, "rename", Binary)                 \
  X(61, update, "update", Unary)                  \
  X(62, write, "write", Write)
