#pragma once

// Policy types that choose the vector unit of the vectorised correlation and full search:
// 8-float AVX vectors or 4-float SSE2 vectors.

namespace vector_ops
{
struct avx
{
};

struct sse2
{
};
} // namespace vector_ops
