// Registry records of the vectorised full search.

#include "search/VectorRecords.h"

namespace
{
Flipsearch::SearchRecord
    pg_flipopt_full_sse2 FLIPSEARCH_INIT_ORDER(7) = Flipsearch::make_flipopt_full_sse2_record();
Flipsearch::SearchRecord
    pg_flipopt_full_avx FLIPSEARCH_INIT_ORDER(9) = Flipsearch::make_flipopt_full_avx_record();
} // namespace
