// The module's table of entry points (view/backend/entry.hpp): the one
// symbol the core looks up. A routine's body is set here, one line each,
// next to the file that holds it.
#include "view/backend/clipboard.hpp"
#include "view/backend/entry.hpp"

namespace qel::view::backend {

namespace {

Entries make_entries() {
  Entries e{};
  e.abi = ABI_VERSION;
  e.size = sizeof(Entries);
  // Routine bodies, by slot of system/view/platform.

  e.clipboard_read = clipboard::read;
  e.clipboard_write = clipboard::write;
  return e;
}

const Entries g_entries = make_entries();

}  // namespace

}  // namespace qel::view::backend

extern "C" const qel::view::backend::Entries* qel_backend_entries(qel::u32 abi, qel::u32 size) {
  using namespace qel::view::backend;
  return abi == ABI_VERSION && size == sizeof(Entries) ? &g_entries : nullptr;
}
