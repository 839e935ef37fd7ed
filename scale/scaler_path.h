#pragma once

#include <vector>

// The x86 kernels are built where the compiler targets x86 with SSE2 (every
// x86-64), unless the build asked for the portable code alone.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__) && \
    !defined(FENWRIGHT_PORTABLE_SCALER)
#define FENWRIGHT_X86_SIMD 1
#else
#define FENWRIGHT_X86_SIMD 0
#endif

namespace fenwright {

// The instruction sets the scaler's kernels may use, each level including
// those before it. Every path writes the same bytes; only speed differs.
enum class ScalerPath { scalar, sse2, ssse3, avx2 };

const char* scalerPathName(ScalerPath path);

// The path the kernels take: the best this build and CPU run, capped by
// FENWRIGHT_SCALER (a path's name, read once) or by useScalerPath().
ScalerPath scalerPath();

// Every path this build and CPU run, slowest first.
std::vector<ScalerPath> availableScalerPaths();

// Makes every scaler in the process take `path` from now on; false, and
// nothing changes, when this CPU or build cannot run it.
bool useScalerPath(ScalerPath path);

}  // namespace fenwright
