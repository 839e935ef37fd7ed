#include "scale/scaler_path.h"
#include "scale/x86_simd.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string_view>

namespace fenwright {
namespace {

constexpr ScalerPath kPaths[] = {ScalerPath::scalar, ScalerPath::sse2, ScalerPath::ssse3,
                                 ScalerPath::avx2, ScalerPath::avx512};

ScalerPath bestSupported() {
#if FENWRIGHT_X86_SIMD
  // AVX-512 only where its byte and word forms and its byte permutes are.
  static const ScalerPath best = __builtin_cpu_supports("avx512bw") &&
                                         __builtin_cpu_supports("avx512f") &&
                                         __builtin_cpu_supports("avx512vbmi")
                                     ? ScalerPath::avx512
                                 : __builtin_cpu_supports("avx2")  ? ScalerPath::avx2
                                 : __builtin_cpu_supports("ssse3") ? ScalerPath::ssse3
                                                                   : ScalerPath::sse2;
  return best;
#else
  return ScalerPath::scalar;
#endif
}

ScalerPath fromEnvironment() {
  const char* asked = std::getenv("FENWRIGHT_SCALER");
  for (ScalerPath path : kPaths)
    if (asked != nullptr && asked == std::string_view(scalerPathName(path)))
      return std::min(path, bestSupported());
  return bestSupported();
}

// Kernels read this once a row; a relaxed load is all it costs.
constexpr int kUndecided = -1;
std::atomic<int> chosen{kUndecided};

}  // namespace

const char* scalerPathName(ScalerPath path) {
  switch (path) {
    case ScalerPath::scalar: return "scalar";
    case ScalerPath::sse2: return "sse2";
    case ScalerPath::ssse3: return "ssse3";
    case ScalerPath::avx2: return "avx2";
    case ScalerPath::avx512: return "avx512";
  }
  return "?";
}

ScalerPath scalerPath() {
  int path = chosen.load(std::memory_order_relaxed);
  if (path == kUndecided) [[unlikely]] {
    // Racing first callers all read the same environment and agree.
    path = static_cast<int>(fromEnvironment());
    chosen.store(path, std::memory_order_relaxed);
  }
  return static_cast<ScalerPath>(path);
}

std::vector<ScalerPath> availableScalerPaths() {
  std::vector<ScalerPath> paths;
  for (ScalerPath path : kPaths)
    if (path <= bestSupported()) paths.push_back(path);
  return paths;
}

bool useScalerPath(ScalerPath path) {
  if (path > bestSupported()) return false;
  chosen.store(static_cast<int>(path), std::memory_order_relaxed);
  return true;
}

}  // namespace fenwright
