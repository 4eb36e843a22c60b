// In-place sorting of fixed-width records inside a series, driven by a
// comparison callback: a stable natural merge sort with run powers
// (Powersort) and an unstable quicksort that detects presorted input.
//
// The records are given by their series node and positions, never by an
// address: the comparator may be a Qel function that allocates, triggers a
// collection (which moves buffers), grows the very series being sorted, or
// raises (a C++ Transfer thrown through the sort). So
// - the buffer is fetched again through the node after every comparator call;
// - records are only ever swapped, or (in a merge) copied out to working
//   memory and back; when the comparator throws, the merge first copies its
//   working records back, so the range always stays a permutation of its
//   records, and then lets the exception go on;
// - the working memory is plain heap memory, freed on every exit path; when
//   the records are cells, the collector marks the cells held there;
// - the series is rooted for the time of the sort.
// If a comparator changes the series so that the records no longer fit in it
// (it shrank, or its unit changed), the sort stops at once and answers false.
#pragma once

#include "runtime/cell.hpp"

namespace qel::sort {

// Answers > 0 when record x sorts after record y, 0 when they are equal and
// < 0 when x sorts before y. x and y stay valid only until the comparator
// allocates: a comparator that allocates copies the records first. arg1 and
// arg2 are passed through untouched (comparison options, a user function).
using Compare = int (*)(const void* x, const void* y, void* arg1, void* arg2);

// count records of width bytes each, the first one offset bytes after the
// head of the series `node`. width is a positive multiple of the series unit
// (16 for the cells of a block: a record of /skip n cells is 16n bytes).
struct Records {
  u32 node;
  u32 offset;
  u32 count;
  u32 width;
};

// Stable: records that compare equal keep their order. Raises script
// too-long when (count / 2) * width does not fit in 32 bits and internal
// no-memory when its working memory cannot be had. Answers true when the
// records are sorted, false when the comparator changed the series under the
// sort, or when the records do not lie inside the series at the start.
// Count 0 or 1 calls the comparator never.
bool merge_sort(Records records, void* arg1, void* arg2, Compare compare);

// Not stable; no working memory for comparators that order consistently (an
// inconsistent one may make it finish a part with the merge sort). Answers
// as merge_sort does.
bool quick_sort(Records records, void* arg1, void* arg2, Compare compare);

}  // namespace qel::sort
