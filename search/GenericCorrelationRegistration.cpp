// Registry records of the vectorised correlation accumulators.

#include "search/VectorRecords.h"

namespace
{
Flipsearch::CorrelationRecord pg_corr_sse2 FLIPSEARCH_INIT_ORDER(6) = Flipsearch::make_corr_sse2_record();
Flipsearch::CorrelationRecord pg_corr_avx FLIPSEARCH_INIT_ORDER(8) = Flipsearch::make_corr_avx_record();
} // namespace
