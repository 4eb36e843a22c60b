// The text console's line editor on a terminal (libedit): editing keys,
// history recall, and Tab completion through a completer the console gives.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qel::console::editor {

// What a completion asks the console for: the line (UTF-8) and the caret (in
// characters). It answers false when there is nothing to complete, else the
// new line, its caret, and the candidates to list (empty when the completion
// is unique).
struct Completion {
  std::string line;
  std::size_t caret = 0;
  std::string listing;
};
using Completer = bool (*)(const std::string& line, std::size_t caret, Completion& out);

// Starts the editor on standard input and output, when both are terminals;
// answers whether it did.
bool start(Completer completer);
bool active();

// The history, newest entry last.
void set_history(const std::vector<std::string>& oldest_first);
void add_history(const std::string& line);

// Reads a line after the prompt (UTF-8, without its line end), or nothing at
// the end of the input (Ctrl+D on an empty line) or when `stop` answers true
// while it waits (an interrupt: the line typed so far is dropped).
std::optional<std::string> read(const std::string& prompt, bool (*stop)());

// Gives the terminal back its settings (also done after every line).
void finish();

}  // namespace qel::console::editor
