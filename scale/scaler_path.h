#pragma once

#include <vector>

namespace fenwright {

// The instruction sets the scaler's kernels may use, each level including
// those before it. Every path writes the same bytes; only speed differs.
enum class ScalerPath { scalar, sse2, ssse3, avx2, avx512 };

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
