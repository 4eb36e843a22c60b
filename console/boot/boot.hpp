// The boot program: what start-up runs after the runtime is initialised.
// It makes the native! and action! values and the datatype words, then runs
// the library (Qel source embedded in the executable), stage by stage.
#pragma once

#include <cstddef>

#include "runtime/cell.hpp"

namespace qel::console::boot {

struct Source {
  const char* name;
  const char* text;
  std::size_t size;
};
extern const Source kLibrary[];
extern const unsigned kLibraryCount;

// The build record (written by the build: tools/build_record.cmake): the
// date of the build and the commit, branch, commit date and subject line of
// the checkout built ("" when it is none).
namespace record {
extern const char date[];
extern const char commit[];
extern const char branch[];
extern const char commit_date[];
extern const char message[];
}  // namespace record

// Loads the specs of the natives and actions into one block (out must be
// rooted): each spec block followed by the word that names it, in the order
// start-up makes their values.
void load_native_specs(Cell* out);

// Sets the global word of every datatype, then of every typeset
// (runtime/typeset_list.hpp), as start-up does before the library runs.
void define_type_words();

// The whole boot program. Errors end the process like any uncaught error.
void run();

}  // namespace qel::console::boot
