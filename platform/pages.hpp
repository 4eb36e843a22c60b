// Page blocks inside the one reserved memory region.
//
// The region is reserved once (PROT_NONE, nothing committed) and every page
// the memory manager uses is committed inside it, so a 32-bit offset from the
// region base names any node or buffer. This stands in for the OS page
// allocator of other platforms: commit = mprotect read/write, release =
// madvise(DONTNEED) + PROT_NONE, and the freed run goes back to a free list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace qel::platform {

// Reserves the region of `bytes` bytes, handed out in pages of page_size
// bytes (a power of two), once; answers its base. Exits the process with
// runtime error 94 when the OS refuses the reservation.
std::uint8_t* reserve_region(std::uint64_t bytes, std::uint64_t page_size);
std::uint8_t* region_base();

// Commits a run of whole pages (bytes is rounded up to the page size) and
// answers its offset from the region base, or 0 when the region is full, not
// reserved yet, or the OS refuses.
std::uint32_t commit_pages(std::uint64_t bytes);

// Backs a committed run with memory now, in one call, rather than a page
// fault at the first write to each page; nothing when the kernel cannot
// (before Linux 5.14). For runs that will be written through soon.
void populate_pages(std::uint32_t offset, std::uint64_t bytes);

// Between these two calls, populate_pages only notes its runs; the end backs
// them (populate) or forgets them. Start-up defers the frames it makes
// before it knows whether the boot image's pages will replace them.
void defer_populating();
void end_deferred_populating(bool populate);

// Moves the pages of a private read-only view of a file (page aligned) to
// back the committed pages from `offset`, with the kernel's entries for
// them: pages the view had read are not read or faulted in again. They are
// writable then, and a write copies its page. False when the OS refuses:
// the pages from `offset` are committed memory again (for the caller to
// fill), and the view may have lost them.
bool move_file_pages(std::uint32_t offset, std::uint64_t bytes, const void* view);

// Marks in `out` (one byte a page, 1 or 0) which pages of a committed run
// have been touched since they were committed; a page never touched holds
// zero bytes, and is not made present by this question (reading it would
// fault it in). All pages are marked touched when the OS cannot tell.
void touched_pages(std::uint32_t offset, std::uint64_t bytes, std::vector<unsigned char>& out);

// Gives a run back; offset and bytes as returned and asked for by commit_pages.
// Answers false when the run is not one that was committed.
bool release_pages(std::uint32_t offset, std::uint64_t bytes);

// Pages committed now, in bytes.
std::uint64_t committed_bytes();

// The committed runs, (offset, bytes) in address order.
std::vector<std::pair<std::uint32_t, std::uint64_t>> committed_runs();

}  // namespace qel::platform
