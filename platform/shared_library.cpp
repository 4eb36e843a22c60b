#include "platform/shared_library.hpp"

#include <dlfcn.h>

namespace qel::platform {

SharedLibrary::SharedLibrary(const char* soname)
    : handle_(dlopen(soname, RTLD_NOW | RTLD_LOCAL)), complete_(handle_ != nullptr) {}

void* SharedLibrary::symbol(const char* name) const {
  return handle_ ? dlsym(handle_, name) : nullptr;
}

}  // namespace qel::platform
