// The library's native side: routines in C++ that library functions written
// in Qel run first (the JSON and CSV codecs, split), wired into those
// functions once every library source has run.
#pragma once

#include <string>

#include "runtime/cell.hpp"

namespace qel::library::native {

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
