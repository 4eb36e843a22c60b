// The 54 datatypes: id, name, parent, in one list.
// Expanded into the Type enum, the name table and the registration checks.
// The ids are fixed: stored files and the boot data refer to them by number.
#pragma once

// X(id, name-text, constant, parent constant (NO_TYPE for none))
#define QEL_DATATYPES(X)                         \
  X(1, "datatype!", DATATYPE, NO_TYPE)            \
  X(2, "unset!", UNSET, NO_TYPE)                  \
  X(3, "none!", NONE, NO_TYPE)                    \
  X(4, "logic!", LOGIC, NO_TYPE)                  \
  X(5, "block!", BLOCK, SERIES)                  \
  X(6, "paren!", PAREN, BLOCK)                   \
  X(7, "string!", STRING, SERIES)                \
  X(8, "file!", FILE, URL)                       \
  X(9, "url!", URL, STRING)                      \
  X(10, "char!", CHAR, INTEGER)                  \
  X(11, "integer!", INTEGER, NO_TYPE)             \
  X(12, "float!", FLOAT, NO_TYPE)                 \
  X(13, "symbol!", SYMBOL, NO_TYPE)               \
  X(14, "context!", CONTEXT, NO_TYPE)             \
  X(15, "word!", WORD, SYMBOL)                   \
  X(16, "set-word!", SET_WORD, WORD)             \
  X(17, "lit-word!", LIT_WORD, WORD)             \
  X(18, "get-word!", GET_WORD, WORD)             \
  X(19, "refinement!", REFINEMENT, WORD)         \
  X(20, "issue!", ISSUE, WORD)                   \
  X(21, "native!", NATIVE, NO_TYPE)               \
  X(22, "action!", ACTION, NATIVE)               \
  X(23, "op!", OP, NATIVE)                       \
  X(24, "function!", FUNCTION, CONTEXT)          \
  X(25, "path!", PATH, BLOCK)                    \
  X(26, "lit-path!", LIT_PATH, PATH)             \
  X(27, "set-path!", SET_PATH, PATH)             \
  X(28, "get-path!", GET_PATH, PATH)             \
  X(29, "routine!", ROUTINE, FUNCTION)           \
  X(30, "bitset!", BITSET, NO_TYPE)               \
  X(31, "triple!", TRIPLE, NO_TYPE)               \
  X(32, "object!", OBJECT, NO_TYPE)               \
  X(33, "typeset!", TYPESET, NO_TYPE)             \
  X(34, "error!", ERROR, OBJECT)                 \
  X(35, "vector!", VECTOR, STRING)               \
  X(36, "hash!", HASH, BLOCK)                    \
  X(37, "pair!", PAIR, NO_TYPE)                   \
  X(38, "percent!", PERCENT, FLOAT)              \
  X(39, "tuple!", TUPLE, NO_TYPE)                 \
  X(40, "map!", MAP, NO_TYPE)                     \
  X(41, "binary!", BINARY, STRING)               \
  X(42, "series!", SERIES, NO_TYPE)               \
  X(43, "time!", TIME, FLOAT)                    \
  X(44, "tag!", TAG, STRING)                     \
  X(45, "email!", EMAIL, STRING)                 \
  X(46, "handle!", HANDLE, INTEGER)              \
  X(47, "date!", DATE, NO_TYPE)                   \
  X(48, "port!", PORT, OBJECT)                   \
  X(49, "money!", MONEY, NO_TYPE)                 \
  X(50, "ref!", REF, STRING)                     \
  X(51, "point2D!", POINT2D, NO_TYPE)             \
  X(52, "point3D!", POINT3D, NO_TYPE)             \
  X(53, "image!", IMAGE, SERIES)                 \
  X(54, "event!", EVENT, NO_TYPE)
