// The text console (see text_console.cpp), and what both front ends share:
// the command line's options, the kind of process, saving the settings.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qel::console {
// qel-headless: start-up, then the text console.
int text_main(int argc, char** argv);
// The text console, once start-up has run; answers the exit status.
int text_console();

// The options before the script's name: -h and --help print the usage on
// standard output (answers 0), another option than --catch and -- is
// reported on standard error (answers 2); else answers -1 (go on).
int command_line(int argc, char** argv);
// Whether the process was started from a shell: one of its standard streams
// is a terminal, or its standard output a pipe or a file. A script then runs
// as a command-line program.
bool from_shell();
// Whether standard input is a pipe or a file: lines given to read.
bool input_given();
// Whether the command line names a script, and whether the session reads
// typed lines (no script named, or "--catch" before it). The engine's
// read-argument takes the options apart the same way: options start with
// "--", and the one after a bare "--" is the script.
bool names_script(const std::vector<std::string>& args);
bool reads_lines(const std::vector<std::string>& args);

// Runs Qel code that saves the console's settings; when it fails, the first
// line of the error's report goes to standard error and the caller goes on.
// prepare_save roots the natives it uses as start-up left them (called
// before any script runs).
void prepare_save();
void save_settings(const char* code, std::size_t size);
}  // namespace qel::console
