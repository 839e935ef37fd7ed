#pragma once

// The x86 kernels are built where the compiler targets x86 with SSE2 (every
// x86-64), unless the build asked for the portable code alone. Only the
// scaler's own sources may ask: the switch is private to its library.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__) && \
    !defined(FENWRIGHT_PORTABLE_SCALER)
#define FENWRIGHT_X86_SIMD 1
#else
#define FENWRIGHT_X86_SIMD 0
#endif
