// OS queries for Qel: the OS description object, the environment as a map,
// the process command line, and the datatype guard of constructors.
#pragma once

#include "runtime/cell.hpp"

namespace qel::io::os {

// Pushes an object! with name (string!), arch (word!), version (tuple! of
// three) and build (integer!).
Cell* os_info();

// Pushes a map! of every environment variable, name to value, both string!.
Cell* env_map();

// Pushes the command line as one string! (see platform::command_line).
Cell* command_line();

// Raises script invalid-arg with the value unless its datatype is type.
void check_type(const Cell* value, Type type);

}  // namespace qel::io::os
