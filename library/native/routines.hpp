// The library's native side: the bodies of its routines in C++ (routine!
// values made with the evaluator's routine-making API, eval/library_routines.hpp):
// the built-in routines and type predicates set as global words before the
// library runs, the routines that library functions call in place of a
// placeholder word (wired once the functions exist), and the routines that
// library functions written in Qel run first (the JSON and CSV codecs, split).
#pragma once

#include <string>

#include "runtime/cell.hpp"

namespace qel::library::native {

// Before the library source runs (library/native/builtin_routines.cpp,
// text_routines.cpp): the built-in routines (quit-return .. write-stdout),
// trigonometry in radians and sqrt, the type predicates (block? .. vector?,
// any-list? .. planar?), and unescape.
void define_routines();
void define_math_routines();
void define_predicates();
void define_text_routines();

// Once the system object exists (library/native/builtin_routines.cpp,
// system_routines.cpp): the routines of system/state/GC (active?,
// series-cycles, nodes-cycles), and the routines of the float options'
// change handler and of path-thru.
void fill_gc_object(Cell* gc_object);
void wire_internal_routines();
// Once every library source has run: the routines of the tracer, the
// reactivity and the consoles.
void wire_tool_routines();

// The JSON and CSV codecs' routines into load-json, to-json, load-csv and
// to-csv (library/native/json_routines.cpp, csv_routines.cpp).
void wire_codec_routines();
void wire_csv_routines();
// The series helpers' routines into split (library/native/series_routines.cpp).
void wire_series_routines();

// The code points as a new string! of the narrowest unit that holds the
// widest of them. The cell roots nothing: the caller stores it at once.
Cell codec_string(const std::u32string& text, u32 widest);

}  // namespace qel::library::native
