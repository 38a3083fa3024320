#include "host/engine/scale.h"

#include <algorithm>
#include <numeric>

#include "host/obs.h"

namespace host::engine {

double ScaleAccumulator::Mean() const {
  if (!fHasShift || !(ValidWeight() > 0.0)) return SYSMIS;
  return fShift + fMean;
}

double ScaleAccumulator::StdDev() const {
  const double w = ValidWeight();
  if (!fHasShift || !(w > 1.0)) return SYSMIS;
  const double variance = fM2 / (w - 1.0);
  return std::sqrt(std::max(variance, 0.0));
}

double ScaleAccumulator::Percentile(double p) const { return Percentiles({p}).front(); }

namespace {

// Unweighted order statistics: the values at the given 0-based ranks, found
// by successive selections over a shrinking tail instead of a full sort.
std::vector<double> OrderStatistics(std::vector<double>& a, std::vector<std::size_t> ranks) {
  std::vector<std::size_t> sorted = ranks;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  std::size_t lo = 0;
  for (std::size_t r : sorted) {
    std::nth_element(a.begin() + static_cast<std::ptrdiff_t>(lo), a.begin() + static_cast<std::ptrdiff_t>(r), a.end());
    lo = r + 1;
  }
  std::vector<double> out;
  out.reserve(ranks.size());
  for (std::size_t r : ranks) out.push_back(a[r]);
  return out;
}

}  // namespace

double WeightedSelect(std::vector<WeightedValue>& a, double t) {
  const std::size_t n = a.size();
  if (n == 0) return SYSMIS;
  double largest = a[0].value;
  for (const WeightedValue& x : a) largest = std::max(largest, x.value);
  auto first = a.begin();
  auto last = a.end();
  while (first != last) {
    const double p = first->value;
    const double q = first[(last - first) / 2].value;
    const double r = (last - 1)->value;
    const double pivot = std::max(std::min(p, q), std::min(std::max(p, q), r));
    auto m1 = std::partition(first, last, [pivot](const WeightedValue& x) { return x.value < pivot; });
    auto m2 = std::partition(m1, last, [pivot](const WeightedValue& x) { return x.value == pivot; });
    double below = 0.0;
    for (auto it = first; it != m1; ++it) below += it->weight;
    double equal = 0.0;
    for (auto it = m1; it != m2; ++it) equal += it->weight;
    if (t <= below) {
      last = m1;
    } else if (t <= below + equal) {
      return pivot;
    } else {
      t -= below + equal;
      first = m2;
    }
  }
  return largest;
}

std::vector<double> ScaleAccumulator::Percentiles(const std::vector<double>& ps) const {
  std::vector<double> out(ps.size(), SYSMIS);
  const double w = ValidWeight();
  if (fValues.empty() || !(w > 0.0)) return out;

  // Per percentile: h = (W + 1)p; below 1 the smallest value, from W on the
  // largest, otherwise x(floor h) plus the fraction of the step to the next.
  struct Plan {
    int kind;  // 0 smallest, 1 largest, 2 interpolate
    double k;
    double frac;
  };
  std::vector<Plan> plans;
  for (double p : ps) {
    const double h = (w + 1.0) * p;
    if (h < 1.0) {
      plans.push_back({0, 0, 0});
    } else if (h >= w) {
      plans.push_back({1, 0, 0});
    } else {
      const double k = std::floor(h);
      plans.push_back({2, k, h - k});
    }
  }

  const auto [minIt, maxIt] = std::minmax_element(fValues.begin(), fValues.end());
  const double smallest = *minIt;
  const double largest = *maxIt;

  if (!fWeighted) {
    std::vector<double> values = fValues;
    // Unit weights: x(t) for whole t is the t-th smallest value.
    const std::size_t n = values.size();
    std::vector<std::size_t> ranks;
    for (const Plan& plan : plans) {
      if (plan.kind != 2) continue;
      const auto k = static_cast<std::size_t>(plan.k);
      ranks.push_back(std::min(k - 1, n - 1));
      ranks.push_back(std::min(k, n - 1));
    }
    const std::vector<double> stats = ranks.empty() ? std::vector<double>{} : OrderStatistics(values, ranks);
    std::size_t r = 0;
    for (std::size_t i = 0; i < plans.size(); ++i) {
      const Plan& plan = plans[i];
      if (plan.kind == 0) {
        out[i] = smallest;
      } else if (plan.kind == 1) {
        out[i] = largest;
      } else {
        const double lower = stats[r++];
        const double upper = stats[r++];
        out[i] = lower + plan.frac * (upper - lower);
      }
    }
    return out;
  }

  // One copy serves every selection: partitioning only reorders it.
  std::vector<WeightedValue> pairs(fValues.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i] = {fValues[i], fWeights[i]};
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const Plan& plan = plans[i];
    if (plan.kind == 0) {
      out[i] = smallest;
    } else if (plan.kind == 1) {
      out[i] = largest;
    } else {
      const double lower = WeightedSelect(pairs, plan.k);
      const double upper = plan.frac == 0.0 ? lower : WeightedSelect(pairs, plan.k + 1.0);
      out[i] = lower + plan.frac * (upper - lower);
    }
  }
  return out;
}

}  // namespace host::engine
