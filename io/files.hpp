// Files and directories for Qel: the read, write, query, delete and rename
// actions of file!, the directory listing and the text conventions shared by
// every reader of outside bytes (files, HTTP bodies, process output).
//
// Text read from outside is UTF-8 with CR LF and a lone CR turned into LF;
// text written is UTF-8 with LF line ends (the platform's convention).
// Paths are taken from the file!'s index and never change the caller's value.
#pragma once

#include <string>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::io::files {

// Whether the path names a directory by its text: it ends with "/", or it is
// "." or "..", or it ends with "/." or "/..".
bool dir_q(const std::string& path);

// A new value (pushed) from outside bytes: a binary! with binary, a block of
// string! lines with lines, else one string!. Lines are cut at each LF (a CR
// before it dropped); the text after the last LF is a line when not empty.
Cell* bytes_to_value(const std::vector<u8>& bytes, bool binary, bool lines);
// The text conventions alone: CR LF and a lone CR become LF.
std::vector<u8> normalize_line_ends(const u8* bytes, std::size_t n);

// The bytes a value is written as: a string! as UTF-8 (at most part code
// points when part >= 0), a binary! as its bytes (at most part), any other
// value molded. A line end follows with lines; a block with lines gives
// each of its values so, each followed by a line end.
std::vector<u8> value_to_bytes(const Cell* value, i64 part, bool lines);

// Action handlers of file!. A read of more than a value can hold (1 GiB)
// raises internal no-memory; a write that stops short (a full disk) raises
// access no-create.
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* write(Cell* dest, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as);
Cell* query(Cell* file);                 // modification date (UTC) or none
Cell* delete_(Cell* file);               // logic!
Cell* rename(Cell* from, Cell* to);      // logic!

// A new block! (pushed) of file! names of the directory's entries; a
// directory that cannot be listed raises access cannot-open with the path.
Cell* read_dir(const Cell* file);

// Services of the built-in routines: create one directory (access no-create
// on failure), test existence, write a value to the standard output.
void make_dir(const Cell* file);
bool exists(const Cell* file);
void write_stdout(const Cell* value);

}  // namespace qel::io::files
