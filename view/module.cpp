#include "view/module.hpp"

#include <cstring>
#include <string>

#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "platform/files.hpp"
#include "platform/shared_library.hpp"
#include "runtime/error.hpp"

// The build identity both sides hold (view/backend/entry.hpp).
#ifndef QEL_BUILD_IDENTITY
#error "QEL_BUILD_IDENTITY is given by the build (tools/core.cmake)"
#endif

namespace qel::view::module {

namespace {

bool g_tried = false;
const backend::Entries* g_entries = nullptr;
std::string g_why;

using EntryFn = const backend::Entries* (*)(u32, u32, const char*);

}  // namespace

const backend::Entries* load() {
  if (g_tried) return g_entries;
  g_tried = true;
  std::string dir = platform::executable_dir();
  if (dir.empty()) dir = ".";
  std::string installed = dir + "/" + INSTALLED_DIR;
  std::string path = installed + "/" + FILE_NAME;
  if (!platform::exists(path)) path = dir + "/" + FILE_NAME;
  if (!platform::exists(path)) {
    g_why = std::string("the GUI backend module ") + FILE_NAME + " is neither in " + installed + " nor in " + dir;
    return nullptr;
  }
  std::string error;
  void* sym = platform::open_module_symbol(path, "qel_backend_entries", &error);
  if (!sym) {
    g_why = "the GUI backend module " + path + " " + (error.empty() ? "cannot be opened" : error);
    // dlerror names the path itself when the file is missing: say it once.
    if (error.find(path) != std::string::npos) g_why = "the GUI backend module: " + error;
    return nullptr;
  }
  const backend::Entries* e = reinterpret_cast<EntryFn>(sym)(backend::ABI_VERSION, sizeof(backend::Entries),
                                                             QEL_BUILD_IDENTITY);
  if (!e) {
    g_why = "the GUI backend module " + path +
            " comes from another build of qel (this one is " QEL_BUILD_IDENTITY ")";
    return nullptr;
  }
  g_entries = e;
  return g_entries;
}

const char* why() { return g_why.c_str(); }

void unavailable(const char* what, const char* reason) {
  api::Values v(2);  // rooted: making the error allocates
  copy_cell(intern_word(what), v[0]);
  string::load_at(reinterpret_cast<const u8*>(reason), u32(std::strlen(reason)), v[1], string::Encoding::utf8);
  fire(Err::script_view_unavailable, v[0], v[1]);
}

const backend::Entries& require(const char* what) {
  if (const backend::Entries* e = load()) return *e;
  unavailable(what, why());
}

}  // namespace qel::view::module
