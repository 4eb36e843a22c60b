// AddressSanitizer hooks. ASan cannot see inside our own memory region, so
// freed and moved-from parts are poisoned by hand: a stale pointer into a
// buffer that moved then fails loudly instead of reading old data.
#pragma once

#include "platform/sanitize.hpp"

#if defined(QEL_ASAN)
#include <sanitizer/asan_interface.h>
#define QEL_NO_SANITIZE_ADDRESS __attribute__((no_sanitize_address))
#define QEL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define QEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define QEL_NO_SANITIZE_ADDRESS
#define QEL_POISON(p, n) ((void)(p), (void)(n))
#define QEL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif
