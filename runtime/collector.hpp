// Garbage collector: mark from precise roots, sweep, compact series frames.
#pragma once

#include "runtime/cell.hpp"

namespace qel::gc {

extern bool enabled;  // the enable flag: 0 until the boot program starts
extern bool active;   // a cycle is running
extern bool stress;   // collect at every allocation (QEL_GC_STRESS)

void init();            // collector/init: counters 0
void check();           // one cycle when enabled (memory manager asks)
void stress_point();    // called at every buffer allocation
u32 do_cycle();         // one cycle; answers the cycle count
u32 cycles();

// Modules that hold values outside the root block register a mark callback
// (at most 100 registrations in a run; a removed entry stays empty).
using MarkCallback = void (*)();
bool add_mark_callback(MarkCallback fn);
void remove_mark_callback(MarkCallback fn);
// Weak tables register a sweep callback, called after marking and before
// compaction, while is_marked still tells what survives.
using SweepCallback = void (*)();
void add_sweep_callback(SweepCallback fn);
bool is_marked(u32 node);

// Marking entry points for mark callbacks and datatype mark rules.
bool mark_node(u32 node);          // answers true when newly marked
void mark_series(u32 node);        // the node and, for cells, its values
void mark_values(const Cell* first, const Cell* end);
void mark_cell(const Cell* c);
void mark_context(u32 ctx_node);
void mark_table(u32 table);        // a hash table and the series it reaches

// The mark rule of a datatype: marks what a cell of it refers to, through
// the entry points above. The module that owns a datatype registers its
// rule (at its init); the collector's own rules cover the series-shaped
// datatypes whose module registers none, and a datatype without any rule
// refers to nothing the collector must keep.
using MarkRule = void (*)(const Cell* c);
void set_mark_rule(Type t, MarkRule rule);

}  // namespace qel::gc
