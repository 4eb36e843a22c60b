// The layout of each native's and action's own spec, as the evaluator reads
// it at compile time to fit a value's arguments to its entry, against the
// descriptor the evaluator builds at run time from the same spec text loaded
// as Qel (its type words bound to the datatypes and typesets start-up
// defines).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/boot/boot.hpp"
#include "datatypes/typeset.hpp"
#include "eval/entry_fit.hpp"
#include "eval/interpreter.hpp"
#include "eval/lexer.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"
#include "runtime/api.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "tests/unit/test_support.hpp"

namespace entry_fit_test {

using namespace qel;

namespace {

class EntryFitTest : public test::RuntimeTest {
 protected:
  void SetUp() override { console::boot::define_type_words(); }
};

// The layout of the descriptor built from the spec text.
entry_fit::TableLayout described(const char* text) {
  roots::LocalCell loaded, desc;
  lexer::load_source(loaded.get(), text, std::strlen(text));
  Cell spec = *mem::buffer_of(series_node(loaded.get()))->cells();
  interp::describe_spec(series_node(&spec), true, desc.get());
  entry_fit::TableLayout out;
  out.counts.push_back(0);
  u32 dn = series_node(desc.get());
  for (u32 i = 0; i < mem::buffer_of(dn)->used() / sizeof(Cell); ++i) {
    const Cell* d = mem::buffer_of(dn)->cells() + i;
    if (type_of(d) == TYPE_REFINEMENT) out.counts.push_back(0);
    if (type_of(d) != TYPE_TYPESET || ((d->header >> 20) & 3) == 3) continue;  // return:
    ++out.counts.back();
    u64 mask = 0;
    for (u32 t = 0; t <= u32(TYPE_TOP); ++t) {
      if (typeset::has(d, t)) mask |= u64(1) << t;
    }
    out.types.push_back(mask);
  }
  return out;
}

TEST_F(EntryFitTest, EveryEntrysLayoutIsItsSpecAsTheEvaluatorReadsIt) {
  struct Entry {
    Type type;
    u32 index;
    const char* text;
  };
  std::vector<Entry> entries;
  for (u32 id = 1; id <= natives::COUNT; ++id) entries.push_back({TYPE_NATIVE, id, natives::spec_of(id)});
  for (u32 slot = 1; slot <= u32(ACTION_COUNT); ++slot) {
    entries.push_back({TYPE_ACTION, slot, api::services.entry_spec(TYPE_ACTION, slot)});
  }
  for (const Entry& e : entries) {
    SCOPED_TRACE(std::string(e.type == TYPE_NATIVE ? "native " : "action ") + std::to_string(e.index));
    entry_fit::TableLayout table = entry_fit::table_layout(e.type, e.index);
    if (!*e.text) {
      EXPECT_TRUE(table.counts.empty());
      continue;
    }
    entry_fit::TableLayout runtime = described(e.text);
    EXPECT_EQ(table.counts, runtime.counts);
    EXPECT_EQ(table.types, runtime.types);
    stack::reset();
  }
}

}  // namespace

}  // namespace entry_fit_test
