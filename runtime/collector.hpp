// Garbage collector: mark from precise roots, sweep, compact series frames.
#pragma once

#include <vector>

#include "runtime/cell.hpp"

namespace qel::gc {

extern bool enabled;  // the enable flag: 0 until the boot program starts
extern bool active;   // a cycle is running
extern bool stress;   // collect at every allocation (QEL_GC_STRESS)

void init();            // collector/init: counters 0
void check();           // one cycle when enabled (memory manager asks)
void stress_point();    // called at every buffer allocation
// Start-up (console::boot::run) runs without the stress unless it was
// asked for the boot too (config::GC_STRESS_BOOT): boot_started turns it
// off, startup_done turns it on again. Code that never boots (the unit tests)
// runs under the stress from the first allocation on.
void boot_started();
// Whether the stress was asked for during start-up too.
bool stress_during_boot();
// Under the stress, each run (a test case: restart_stress begins one; else
// the process) collects at every one of its first config::GC_STRESS_FULL
// allocations, then at every config::GC_STRESS_SPACING-th.
void restart_stress();
u32 do_cycle();         // one cycle; answers the cycle count
u32 cycles();
// One cycle that the counters programs read do not count: the boot image
// saves the region compacted.
void compact_unseen();

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
//
// Nodes can move: a cycle may empty a sparsely used node frame, giving its
// live nodes new places (below). A reference marked through its slot (the
// _at forms: the 32-bit word inside a cell, a record or a rooted local) is
// rewritten then. A reference marked by value cannot be, so its node stays
// where it is for that cycle: mark by slot wherever the word lies in a
// buffer, a root or memory that outlives the cycle.
bool mark_node(u32 node);          // answers true when newly marked
void mark_series(u32 node);        // the node and, for cells, its values
void mark_context(u32 ctx_node);
bool mark_node_at(const u32* slot);
void mark_series_at(const u32* slot);
void mark_context_at(const u32* slot);
void mark_table_at(const u32* slot);  // a hash table and the series it reaches
void mark_values(const Cell* first, const Cell* end);
void mark_cell(const Cell* c);
void mark_table(u32 table);
// A node held somewhere that cannot be rewritten (a hash that depends on its
// address, a weak table's key): it does not move in this cycle.
void pin_node(u32 node);

// Symbols: the symbol table reclaims, after start-up, the symbols that no
// value refers to (a word's symbol is marked through its mark rule, and
// through it the canonical symbol of a case variant). The ids found on the
// native stack are kept too.
void mark_symbol(u32 id);
bool symbol_marked(u32 id);
// Whether symbols may be reclaimed and nodes moved in this cycle.
bool moving_allowed();
// The 32-bit words found on the native stack and in the saved registers of
// the running code when the cycle asked for them first, sorted: a value
// there may be a node or symbol id that C++ code holds in a local, which
// must then neither move nor be reclaimed.
const std::vector<u32>& native_words();

// No node moves and no symbol is reclaimed while one of these is open (a
// codec that keeps nodes or symbol ids in tables of its own).
class MovingOff {
 public:
  MovingOff();
  ~MovingOff();
  MovingOff(const MovingOff&) = delete;
  MovingOff& operator=(const MovingOff&) = delete;
};

// Called after a cycle in which nodes moved: caches keyed by node must
// drop what they hold.
using MovedCallback = void (*)();
void add_moved_callback(MovedCallback fn);
// Whether this cycle may move nodes (for mark callbacks: pinning is needed
// only then).
bool moving_planned();
// For mark callbacks of C++ code that keeps nodes in memory of its own that
// the collector cannot rewrite: every aligned 32-bit word of the bytes, and
// every pointer into the region among them, that names a node keeps that
// node where it is in this cycle (read as the native stack is).
void pin_words(const void* first, std::size_t bytes);
// Node frames emptied and freed by the cycles so far.
u32 evacuations();
// The end of start-up: the symbols made so far (the boot words, which C++
// code names by id) are never reclaimed, and the node frames made so far
// (whose nodes C++ statics may hold) are never emptied.
void startup_done(u32 symbol_count);

// The mark rule of a datatype: marks what a cell of it refers to, through
// the entry points above. The module that owns a datatype registers its
// rule (at its init); the collector's own rules cover the series-shaped
// datatypes whose module registers none, and a datatype without any rule
// refers to nothing the collector must keep.
using MarkRule = void (*)(const Cell* c);
void set_mark_rule(Type t, MarkRule rule);

}  // namespace qel::gc
