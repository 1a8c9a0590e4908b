#pragma once

// Inlining hints for the few functions on the path of every call whose speed
// depends on their callees being inlined into them. GCC and Clang take them
// as attributes; MSVC has its own keyword for the first and decides the
// second for itself.
//
// Instrumented builds (QUORVEL_INSTRUMENTED: the sanitizers) leave callees to
// the compiler: flattening instrumented code takes the compiler minutes for
// no purpose there.
#if defined(__GNUC__) || defined(__clang__)
#define QUORVEL_ALWAYS_INLINE [[gnu::always_inline]] inline
#ifdef QUORVEL_INSTRUMENTED
#define QUORVEL_INLINE_CALLEES
#else
#define QUORVEL_INLINE_CALLEES [[gnu::flatten]]
#endif
#elif defined(_MSC_VER)
#define QUORVEL_ALWAYS_INLINE __forceinline
#define QUORVEL_INLINE_CALLEES
#else
#define QUORVEL_ALWAYS_INLINE inline
#define QUORVEL_INLINE_CALLEES
#endif
