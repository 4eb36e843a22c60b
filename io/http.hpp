// HTTP for Qel: the read and write actions of url! over the request layer of
// platform/http. read makes a GET; write takes [method headers data] (any
// other value is the data of a POST). The answer is the response body (text
// with CR LF made LF, or a binary! with /binary, or lines with /lines); with
// /info a block of the status, a map! of the response headers and the body.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::io::http {

// The product word of the User-Agent sent by default: Qel/<version>
// (Linux; <arch>).
std::string user_agent();

// The header lines of a response: each name with its values in the order
// they came; a name repeated in another case is the same name (the first
// spelling is kept). A value runs from after the colon (leading blanks
// skipped, so "a:b" and "a: b" both give "b") to the end of its line,
// trailing blanks dropped; an empty value is an empty string. Lines without
// a colon (the status line) are skipped.
using Headers = std::vector<std::pair<std::string, std::vector<std::string>>>;
Headers parse_headers(const std::string& text);

// Pushes the response headers as a map!: a name's only value as a string!,
// the values of a repeated name as a block! of string!.
Cell* headers_to_value(const Headers& headers);

// One request (method in upper case). headers: a block! of name/value pairs
// from its index, or null for the defaults; data: null or none for no body,
// a binary! as its bytes, any other value as its text. Pushes the answer; a
// request that fails raises access no-connect with the URL and the reason,
// a body beyond what a value can hold (1 GiB) internal no-memory.
Cell* request(const std::string& method, const Cell* url, const Cell* headers, const Cell* data,
              bool binary, bool lines, bool info);

// Action handlers of url!.
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* write(Cell* dest, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as);

}  // namespace qel::io::http
