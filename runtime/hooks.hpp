// Output hook lists: every printed value and every runtime text goes through
// them to whoever registered (the console, the headless runner, tests).
#pragma once

#include <cstddef>

#include "runtime/cell.hpp"

namespace qel::hooks {

using ValueHook = void (*)(const Cell* value, int flag);
using ByteHook = void (*)(const char* text, std::size_t length, int flag);

void init();                                   // hooks/init: both lists, room for 5
void add(ValueHook value_hook, ByteHook byte_hook);      // a null hook is skipped
void remove(ValueHook value_hook, ByteHook byte_hook);   // first equal entry of each
void call_event_hooks(const Cell* value, int flag);
void call_output_hooks(const char* text, std::size_t length, int flag);

std::size_t value_count();
std::size_t value_capacity();
std::size_t byte_count();
std::size_t byte_capacity();
ValueHook value_at(std::size_t i);
ByteHook byte_at(std::size_t i);

// The build stamp.
const char* build_date();

}  // namespace qel::hooks
