#include "encode/i420_convert_kernels.h"

namespace vn::encode::i420 {

// Processors without an x86 SIMD kernel convert on the scalar path.
RowsKernel simd_rows_kernel(ConvertPath) { return nullptr; }

}  // namespace vn::encode::i420
