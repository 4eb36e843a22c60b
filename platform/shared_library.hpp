// Shared libraries loaded on first use instead of linked (GTK, libcurl,
// libtiff): each brings dozens of dependencies whose loading would otherwise
// cost every start of the program. A user lists the functions it needs in an
// X-macro, declares a table of typed pointers with QEL_LIBRARY_FUNCTION and
// fills it once through SharedLibrary, all or nothing: a missing library or
// function leaves the feature unavailable, never half bound.
#pragma once

#include <mutex>
#include <string>

// A table field for the function `name` of the library's header: its exact
// type, null until resolved.
#define QEL_LIBRARY_FUNCTION(name) decltype(&::name) name = nullptr;

namespace qel::platform {

class SharedLibrary {
 public:
  // Opens the library by its versioned name, binding every symbol now and
  // making none global. It is never closed: the tables point into it.
  explicit SharedLibrary(const char* soname);

  // Resolves the function `name` into `slot` (null when missing).
  template <class F>
  void resolve(F& slot, const char* name) {
    slot = reinterpret_cast<F>(symbol(name));
    complete_ = complete_ && slot != nullptr;
  }

  // The library opened and every function asked for was found.
  bool complete() const { return complete_; }

 private:
  void* symbol(const char* name) const;

  void* handle_;
  bool complete_;
};

// The directory of the running executable (from /proc/self/exe), without a
// final slash; empty when it cannot be read.
std::string executable_dir();

// Opens a shared object by path (every symbol bound now, none made global)
// and answers the address of one of its symbols; null when either fails,
// with the loader's message in *error.
void* open_module_symbol(const std::string& path, const char* symbol, std::string* error);

// Runs a loader once, on the first call from any thread, and answers its
// result from then on.
class LoadOnce {
 public:
  template <class F>
  bool operator()(F&& load) {
    std::call_once(once_, [&] { ok_ = load(); });
    return ok_;
  }

 private:
  std::once_flag once_;
  bool ok_ = false;
};

}  // namespace qel::platform
