"""Reference rules shared by the exact checks (Python fractions only)."""

import math


def percentile(pairs, p):
    """The (W + 1)p rule on the weighted empirical distribution of (value,
    weight) pairs, exact when the values, weights and p are fractions."""
    pairs = sorted(pairs)
    total = sum(w for _, w in pairs)
    h = (total + 1) * p
    if h < 1:
        return pairs[0][0]
    if h >= total:
        return pairs[-1][0]

    def x_at(t):
        cumulative = 0
        for v, w in pairs:
            cumulative += w
            if cumulative >= t:
                return v
        return pairs[-1][0]
    k = math.floor(h)
    return x_at(k) + (h - k) * (x_at(k + 1) - x_at(k))
