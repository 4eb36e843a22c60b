// Readers of the system locale object (system/locale) for the datatypes
// that print or parse with it: month names for date!, the currency list
// for money!. Every reader answers null when the object or field is missing
// (a script may have replaced it), so callers raise their own errors.
#pragma once

#include "runtime/cell.hpp"

namespace qel::locale {

// The value cell of field `name` of system/locale, or null. Valid until the
// next allocation.
Cell* field(const char* name);
// The value cell of system/locale/currencies/list, or null.
Cell* currency_list();
// The value cell of system/options/<name>, or null.
Cell* option(const char* name);

}  // namespace qel::locale
