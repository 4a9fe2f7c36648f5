// Checked builds: debug and sanitizer builds, where the program checks the
// invariants of its own making that cost time on every use (the lock order,
// the `_name` assertions, the rows of its tables) and stops at a slip. A
// release build leaves these checks out; what comes from outside is checked
// in every build.
#pragma once

#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QNMX_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QNMX_CHECKED 1
#endif
#endif
#ifndef QNMX_CHECKED
#define QNMX_CHECKED 0
#endif
