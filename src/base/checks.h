// Invariant checks. The containers' checks walk their storage at every entry
// and exit, so they are compiled in only for the sanitizer and reference-leak
// builds: with VORM_CHECKS defined, or against an interpreter built with
// Py_DEBUG. A broken invariant is printed and aborts the process, so that a
// fuzzing run stops where the state first went wrong, not where it crashes.
#ifndef VORM_BASE_CHECKS_H
#define VORM_BASE_CHECKS_H

#include "compat.h" // Py_DEBUG comes with the interpreter's headers

#include <cstdio>
#include <cstdlib>

#if defined(VORM_CHECKS) || defined(Py_DEBUG)
#define VORM_CHECKED 1
[[noreturn]] inline void vormCheckFailed(const char *condition, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}
#define VORM_ASSERT(condition) ((condition) ? (void)0 : vormCheckFailed(#condition, __FILE__, __LINE__))
#else
#define VORM_CHECKED 0
#define VORM_ASSERT(condition) ((void)sizeof((condition) ? 1 : 0)) // compiled, never run
#endif

// Whole-storage walks stop at this many requests, so that a checked build
// stays usable on large containers; the first requests are walked still.
const Py_ssize_t vormCheckedCount = 4096;

#endif
