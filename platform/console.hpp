// Console output of the runtime itself: numbers, runtime texts, start-up
// errors. Script printing goes through the output hooks instead.
//
// On a terminal, the small escape set the runtime writes (cursor moves,
// erasing, colours; ESC [ n ; m H is column first) is translated into ANSI
// sequences. When standard output is redirected, text is written as UTF-8
// with escape sequences passed through unchanged. Line ends are LF.
#pragma once

#include <cstddef>
#include <string>

#include "platform/types.hpp"

namespace qel::platform::console {

void init();                  // probes whether standard output is a terminal
// Runtime texts printed here are also handed to the listener (the output
// hooks of runtime/hooks.hpp), once one is set.
using OutputListener = void (*)(const char* text, std::size_t length, int flag);
void set_output_listener(OutputListener listener);
bool console_mode();          // true when standard output is a terminal
void set_console_mode(bool on);  // tests force either path
void set_output_fd(int fd);   // tests redirect the writer

// Writes byte_length bytes of units of 1, 2 or 4 bytes (code points).
void write(const void* text, std::size_t byte_length, u32 unit, bool new_line);
void write_utf8(const std::string& text, bool new_line = false);
void flush();

// Byte texts, passed to the byte-string output hooks as well.
void print_c_text(const char* text);
void print_integer(i32 n);
void print_hex_byte(u32 n);
void print_hex(u32 n);
void print_float64(double d);
void print_float32(float f);

// Escape parser: given units from an ESC, answers how many units it consumed
// (0 when the unit after ESC is not "["), writing the ANSI translation.
std::size_t parse_escape(const void* text, std::size_t units, u32 unit);

}  // namespace qel::platform::console
