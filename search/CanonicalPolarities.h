#pragma once

// Brings a sign vector to one of its two equivalent forms (s and -s give the same loudness).
// Touches only its arguments; callable from any thread.

namespace Flipsearch
{
// Negates the n signs in s when their sum is negative, or, when it is 0, when the sign of the
// track with the largest key b (ties: the larger key a, then the lowest index) is negative.
// The engine passes the per-track peaks as a and the per-track RMS levels as b.
void canonicalizePolarities(float* s, unsigned long n, const float* a, const float* b);
} // namespace Flipsearch
