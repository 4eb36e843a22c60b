// One synchronous HTTP request over libcurl's easy interface (TLS through
// OpenSSL). Redirects are followed and only the final response's status,
// headers and body are kept; only http and https are spoken, also when a
// redirect points elsewhere. libcurl's callbacks never let a C++ exception
// through: a failure inside one aborts the transfer, which then fails.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/types.hpp"

namespace qel::platform {

struct HttpRequest {
  std::string method;  // upper case: GET, HEAD (no body sent), POST, PUT, ...
  std::string url;     // percent-encoded
  std::vector<std::pair<std::string, std::string>> headers;
  bool has_body = false;
  std::vector<u8> body;
  // A connection not made within connect_seconds, or a transfer slower than
  // low_speed_bytes a second for low_speed_seconds (a server that never
  // answers, or drips), fails with a time-out.
  long connect_seconds = 30;
  long low_speed_bytes = 16;
  long low_speed_seconds = 60;
};

struct HttpResponse {
  long status = 0;
  std::string headers;  // the final response's header lines, CR LF ended, status line first
  std::vector<u8> body;
  bool too_large = false;  // the body passed MAX_BODY: the transfer was cut off
  std::string error;       // why a failed request failed, in libcurl's words
};

inline constexpr std::size_t MAX_BODY = 0x40000000;  // 1 GiB: more fits in no value

// False when the request cannot be made, no response arrives or the body
// is too large; response.error then says why.
bool http_request(const HttpRequest& request, HttpResponse& response);

}  // namespace qel::platform
