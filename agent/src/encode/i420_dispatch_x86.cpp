#include "encode/i420_convert_kernels.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace vn::encode::i420 {
namespace {

bool cpu_has_avx2() {
#if defined(_MSC_VER)
  int info[4] = {};
  __cpuid(info, 0);
  if (info[0] < 7) return false;
  __cpuid(info, 1);
  const bool osxsave = (info[2] & (1 << 27)) != 0;
  const bool avx = (info[2] & (1 << 28)) != 0;
  if (!osxsave || !avx || (_xgetbv(0) & 0x6) != 0x6) return false;
  __cpuidex(info, 7, 0);
  return (info[1] & (1 << 5)) != 0;
#else
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#endif
}

}  // namespace

RowsKernel simd_rows_kernel(ConvertPath path) {
  static const bool avx2 = cpu_has_avx2();
  switch (path) {
    case ConvertPath::kSse2: return rows_sse2;  // part of every x86-64 processor
    case ConvertPath::kAvx2: return avx2 ? rows_avx2 : nullptr;
    default: return nullptr;
  }
}

}  // namespace vn::encode::i420
