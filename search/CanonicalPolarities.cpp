#include "search/CanonicalPolarities.h"

namespace Flipsearch
{
void canonicalizePolarities(float* s, unsigned long n, const float* a, const float* b)
{
    if (n == 0)
        return;
    float x = 0.0f;
    for (unsigned long i = 0; i < n; ++i)
        x += s[i];
    if (x == 0.0f)
    {
        unsigned long k = 0;
        for (unsigned long i = 1; i < n; ++i)
        {
            if (b[i] > b[k] || (b[i] == b[k] && a[i] > a[k]))
                k = i;
        }
        x = s[k];
    }
    if (x < 0.0f)
    {
        for (unsigned long i = 0; i < n; ++i)
            s[i] = -s[i];
    }
}
} // namespace Flipsearch
