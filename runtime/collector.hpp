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

using MarkCallback = void (*)();
bool add_mark_callback(MarkCallback fn);
void remove_mark_callback(MarkCallback fn);

// Marking entry points for mark callbacks and datatype mark rules.
bool mark_node(u32 node);          // answers true when newly marked
void mark_series(u32 node);        // the node and, for cells, its values
void mark_values(const Cell* first, const Cell* end);
void mark_cell(const Cell* c);
void mark_context(u32 ctx_node);

}  // namespace qel::gc
