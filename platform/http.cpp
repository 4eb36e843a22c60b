#include "platform/http.hpp"

// The header gives the types and signatures only: libcurl is not linked.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <strings.h>

#include <cstring>

#include "platform/shared_library.hpp"

namespace qel::platform {

namespace {

struct Transfer {
  HttpResponse* response;
  bool (*cancel)() = nullptr;
  bool failed = false;  // a callback could not keep the data
};

// Both callbacks answer a count different from the one offered when they
// fail, which makes libcurl abort the transfer with an error.
extern "C" size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  try {
    if (t->response->body.size() + size * count > MAX_BODY) {
      t->response->too_large = true;
      return 0;
    }
    t->response->body.insert(t->response->body.end(), data, data + size * count);
    return size * count;
  } catch (...) {
    t->failed = true;
    return 0;
  }
}

extern "C" size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  try {
    std::size_t n = size * count;
    // A status line starts a new response (after a redirect or a 100
    // Continue): only the last one's headers are kept.
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) t->response->headers.clear();
    t->response->headers.append(data, n);
    return n;
  } catch (...) {
    t->failed = true;
    return 0;
  }
}

// libcurl is loaded with dlopen on the first request, not linked: with its
// TLS, HTTP/2, LDAP and Kerberos dependencies it brings about thirty shared
// libraries whose loading would otherwise cost every start of the program.
// The functions used are resolved once into this table.
#define QEL_CURL_FUNCTIONS(X)                                                  \
  X(curl_global_init) X(curl_easy_init) X(curl_easy_setopt) X(curl_easy_perform) \
  X(curl_easy_getinfo) X(curl_easy_cleanup) X(curl_slist_append)               \
  X(curl_slist_free_all) X(curl_easy_strerror)

struct Curl {
  QEL_CURL_FUNCTIONS(QEL_LIBRARY_FUNCTION)
};

Curl lib;

// Loads libcurl and initialises it, once; false when it or one of its
// functions is missing (every request then fails).
bool global_init() {
  static LoadOnce loaded;
  return loaded([] {
    SharedLibrary curl("libcurl.so.4");
#define QEL_CURL_RESOLVE(name) curl.resolve(lib.name, #name);
    QEL_CURL_FUNCTIONS(QEL_CURL_RESOLVE)
#undef QEL_CURL_RESOLVE
    return curl.complete() && lib.curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  });
}

// Called by libcurl about once a second, also while nothing arrives or the
// connection is being made: a non-zero answer aborts the transfer.
extern "C" int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  if (t->cancel && t->cancel()) {
    t->response->cancelled = true;
    return 1;
  }
  return 0;
}

}  // namespace

bool http_request(const HttpRequest& request, HttpResponse& response) {
  response = HttpResponse{};
  if (!global_init()) {
    response.error = "libcurl cannot be loaded";
    return false;
  }
  if (request.url.find('\0') != std::string::npos) {
    response.error = "the URL holds a NUL";
    return false;
  }
  CURL* curl = lib.curl_easy_init();
  if (!curl) {
    response.error = "libcurl cannot start a request";
    return false;
  }
  char reason[CURL_ERROR_SIZE] = {};
  Transfer transfer{&response, request.cancel};
  curl_slist* headers = nullptr;
  bool ok = true;
  auto add_header = [&](const std::string& line) {
    curl_slist* h = lib.curl_slist_append(headers, line.c_str());
    if (!h) ok = false;
    else headers = h;
  };
  bool content_type = false;
  for (const auto& [name, value] : request.headers) {
    // "Name;" is libcurl's spelling of a header with an empty value.
    add_header(value.empty() ? name + ";" : name + ": " + value);
    content_type = content_type || strcasecmp(name.c_str(), "Content-Type") == 0;
  }
  add_header("Expect:");  // no 100-continue round trip before a large body
  // libcurl gives a body it sends a form's Content-Type unless told not to:
  // the request sends only the headers it was given.
  if (!content_type) add_header("Content-Type:");
  lib.curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  lib.curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  lib.curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  lib.curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  lib.curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 30L);
  lib.curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  lib.curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  lib.curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  lib.curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  lib.curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
  lib.curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  lib.curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, reason);
  lib.curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, request.connect_seconds);
  lib.curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, request.low_speed_bytes);
  lib.curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, request.low_speed_seconds);
  if (request.cancel) {
    lib.curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
    lib.curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    lib.curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
  const std::string& m = request.method;
  bool sends_body = m != "GET" && m != "HEAD";
  if (m == "HEAD") {
    lib.curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (sends_body) {
    lib.curl_easy_setopt(curl, CURLOPT_POST, 1L);
    const std::vector<u8>& body = request.body;
    lib.curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.has_body ? body.size() : 0));
    lib.curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.has_body && !body.empty() ? reinterpret_cast<const char*>(body.data()) : "");
    if (m != "POST") lib.curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, m.c_str());
  }
  CURLcode code = CURLE_OK;
  if (ok) {
    code = lib.curl_easy_perform(curl);
    ok = code == CURLE_OK && !transfer.failed;
  } else {
    response.error = "out of memory for the request headers";
  }
  if (ok) {
    lib.curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  } else if (transfer.failed) {
    response.error = "out of memory for the response";
  } else if (code != CURLE_OK) {
    response.error = reason[0] ? reason : lib.curl_easy_strerror(code);
  }
  lib.curl_slist_free_all(headers);
  lib.curl_easy_cleanup(curl);
  return ok;
}

}  // namespace qel::platform
