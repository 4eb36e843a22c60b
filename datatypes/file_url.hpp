// file! and url!: string cells (the string layout, types 8 and 9) that take
// the string! actions and add their own notation.
//
// A url! holds the decoded text of a URL; its mold percent-encodes every
// byte of the UTF-8 text that is not in the URL set. A file! holds a path
// in Qel notation (forward slashes); on this platform that is the POSIX
// path itself, so the OS conversions only add the current directory to a
// relative path when a full path is asked for. Joining a path (u/x, f/x)
// always builds a new value: the parent is never changed.
//
// Reading, writing, deleting, querying and renaming go through the file
// services (io/files) and the HTTP service (io/http).
#pragma once

#include <string>

#include "runtime/cell.hpp"

namespace qel::url {

void init();  // registers url! (after string!)

// Percent-encoding sets.
inline constexpr int MODE_UNRESERVED = 254;  // letters, digits, - . _ ~
inline constexpr int MODE_URL = 0;           // any other mode: the URL set

// True when the byte is written as itself in the mode's set.
bool kept(int mode, u8 byte);
// The byte as text: itself (count 1) when kept, else "%" and two upper-case
// hexadecimal digits (count 3). Answers the count written to out.
u32 encode_byte(int mode, u8 byte, char out[3]);
// Appends the string (from its index) percent-encoded to the output string.
void encode(const Cell* str, Cell* out, int mode);
// Appends the decoded code points of the string (from its index): "%XX"
// escapes become bytes, escaped UTF-8 sequences one code point, anything that
// is not a complete escape stays as it is.
void decode(const Cell* str, Cell* out);
// A new url! (pushed) decoded from UTF-8 bytes and percent-decoded.
Cell* load(const u8* bytes, u32 length);
Cell* push(const Cell* url);

}  // namespace qel::url

namespace qel::file {

void init();  // registers file! (after url!)

// Appends the OS form of the path (from the file's index) to out; with full,
// a relative path gets the current directory in front.
void to_os_path(const Cell* file, Cell* out, bool full);
// The OS form of the path as UTF-8, for system calls. A file name read from
// the OS that is not UTF-8 keeps each byte that breaks the encoding as the
// code point U+DC00 + byte (U+DC80 to U+DCFF, which no UTF-8 text holds);
// such a code point becomes that byte again here.
std::string to_local_path(const Cell* file);
// A new file! (pushed) from a name as the OS gave it (see to_local_path).
Cell* load_os_name(const u8* bytes, u32 length);
// out becomes a new string! of the current directory, ending with "/".
Cell* get_current_dir(Cell* out);
// A new file! (pushed) loaded from the bytes as string text is.
Cell* load(const u8* bytes, u32 length, bool utf16);
Cell* push(const Cell* file);

}  // namespace qel::file
