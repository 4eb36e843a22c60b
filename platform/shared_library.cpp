#include "platform/shared_library.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace qel::platform {

SharedLibrary::SharedLibrary(const char* soname)
    : handle_(dlopen(soname, RTLD_NOW | RTLD_LOCAL)), complete_(handle_ != nullptr) {}

void* SharedLibrary::symbol(const char* name) const {
  return handle_ ? dlsym(handle_, name) : nullptr;
}

std::string executable_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, std::size_t(n));
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void* open_module_symbol(const std::string& path, const char* symbol, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    *error = why ? why : "cannot be opened";
    return nullptr;
  }
  void* sym = dlsym(handle, symbol);
  if (!sym) *error = std::string("has no symbol ") + symbol;
  return sym;  // the module stays open: the core keeps pointers into it
}

}  // namespace qel::platform
