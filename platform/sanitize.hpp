// Whether this build runs under AddressSanitizer. GCC says so with
// __SANITIZE_ADDRESS__; clang (the fuzz build) only through __has_feature.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define QEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_ASAN 1
#endif
#endif
