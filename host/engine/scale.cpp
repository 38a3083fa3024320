#include "host/engine/scale.h"

#include <algorithm>
#include <numeric>

#include "host/engine/category_index.h"
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
  return std::sqrt(std::max(variance, 0.0)) / fInvScale;
}

// A deviation too large to square safely: the sum of squares moves to units
// of a larger power of two (exact), with room for 2^256-sized deviations in
// the new units before the next move.
void ScaleAccumulator::Rescale(double delta) {
  if (!std::isfinite(delta)) return;
  const double inv = std::ldexp(1.0, -(std::ilogb(delta) - 200));
  const double ratio = inv / fInvScale;
  fM2 *= ratio * ratio;
  fInvScale = inv;
  fScaleLimit = 0x1p256 / inv;
}

void ScaleAccumulator::AddValidRun(const double* x, const double* w, std::size_t n) {
  if (n == 0) return;
  if (!fHasShift) {
    fShift = x[0];
    fHasShift = true;
  }
  double ratio[kRun];
  CompensatedSum weight = fWeight;
  for (std::size_t i = 0; i < n; ++i) {
    weight.Add(w[i]);
    ratio[i] = weight.Value();
  }
  fWeight = weight;
  for (std::size_t i = 0; i < n; ++i) ratio[i] = w[i] / ratio[i];
  const double shift = fShift;
  double mean = fMean;
  double m2 = fM2;
  double inv = fInvScale;
  double limit = fScaleLimit;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = x[i] - shift;
    const double delta = d - mean;
    mean += delta * ratio[i];
    if (std::fabs(delta) > limit) [[unlikely]] {
      fM2 = m2;
      Rescale(delta);
      m2 = fM2;
      inv = fInvScale;
      limit = fScaleLimit;
    }
    m2 += w[i] * (delta * inv) * ((d - mean) * inv);
  }
  fMean = mean;
  fM2 = m2;
  if (!fKeepValues) return;
  // Once the values are stored raw they are appended as they come: with
  // their weights, or alone while every weight is 1.
  std::size_t i = 0;
  while (i < n) {
    if (!fRaw) {
      Keep(x[i], w[i]);
      ++i;
    } else if (fWeighted) {
      fValues.insert(fValues.end(), x + i, x + n);
      fWeights.insert(fWeights.end(), w + i, w + n);
      return;
    } else {
      std::size_t j = i;
      while (j < n && w[j] == 1.0) ++j;
      fValues.insert(fValues.end(), x + i, x + j);
      if (j < n) {
        Keep(x[j], w[j]);  // the first other weight: pairs from here on
        ++j;
      }
      i = j;
    }
  }
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

// Edelkamp and Weiss's block partition pairs the misplaced values in the
// same order as std::partition: the offsets of the misplaced values of a
// block from each end are noted without branches, then swapped pair by pair.
// When the two ends come too close for another block, std::partition goes on
// from the first misplaced value not yet paired, as it would have itself.
WeightedValue* PartitionBelow(WeightedValue* first, WeightedValue* last, double pivot) {
  constexpr std::ptrdiff_t kBlock = 128;
  std::uint8_t frontOffsets[kBlock];
  std::uint8_t backOffsets[kBlock];
  std::ptrdiff_t frontCount = 0;
  std::ptrdiff_t backCount = 0;
  std::ptrdiff_t frontNext = 0;
  std::ptrdiff_t backNext = 0;
  WeightedValue* front = first;  // values before it are scanned
  WeightedValue* back = last;    // values from it on are scanned
  WeightedValue* frontBlock = first;
  WeightedValue* backBlock = last;  // the back block's values lie below it
  const auto below = [pivot](const WeightedValue& x) { return x.value < pivot; };
  while (true) {
    const std::ptrdiff_t need = (frontCount == 0 ? kBlock : 0) + (backCount == 0 ? kBlock : 0);
    if (back - front < need) break;
    if (frontCount == 0) {
      frontBlock = front;
      frontNext = 0;
      for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
        frontOffsets[frontCount] = static_cast<std::uint8_t>(i);
        frontCount += below(front[i]) ? 0 : 1;
      }
      front += kBlock;
    }
    if (backCount == 0) {
      backBlock = back;
      backNext = 0;
      for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
        backOffsets[backCount] = static_cast<std::uint8_t>(i);
        backCount += below(back[-1 - i]) ? 1 : 0;
      }
      back -= kBlock;
    }
    const std::ptrdiff_t pairs = std::min(frontCount, backCount);
    for (std::ptrdiff_t k = 0; k < pairs; ++k) {
      std::swap(frontBlock[frontOffsets[frontNext + k]], backBlock[-1 - backOffsets[backNext + k]]);
    }
    frontCount -= pairs;
    backCount -= pairs;
    frontNext += pairs;
    backNext += pairs;
  }
  if (frontCount > 0) return std::partition(frontBlock + frontOffsets[frontNext], back, below);
  if (backCount > 0) return std::partition(front, backBlock - backOffsets[backNext], below);
  return std::partition(front, back, below);
}

namespace {

// Three-way weighted quickselect for several targets at once: one partition
// serves every target, and only the parts that hold a target are visited.
// targets[i] are cumulative weights, ascending; `base` is the compensated
// weight of everything below [first, last), and a target counts as reached
// `slack` early (see CumulativeSlack).
void SelectMany(WeightedValue* first, WeightedValue* last, CompensatedSum base, const double* targets, double* results,
                std::size_t count, double largest, double slack) {
  while (count > 0) {
    if (first == last) {
      for (std::size_t i = 0; i < count; ++i) results[i] = largest;
      return;
    }
    const double p = first->value;
    const double q = first[(last - first) / 2].value;
    const double r = (last - 1)->value;
    const double pivot = std::max(std::min(p, q), std::min(std::max(p, q), r));
    WeightedValue* m1 = PartitionBelow(first, last, pivot);
    WeightedValue* m2 = std::partition(m1, last, [pivot](const WeightedValue& x) { return x.value == pivot; });
    CompensatedSum throughLower = base;
    for (const WeightedValue* it = first; it != m1; ++it) throughLower.Add(it->weight);
    CompensatedSum throughPivot = throughLower;
    for (const WeightedValue* it = m1; it != m2; ++it) throughPivot.Add(it->weight);
    const double reachLower = throughLower.Value() + slack;
    const double reachPivot = throughPivot.Value() + slack;
    // Targets in the lower part, at the pivot, and in the upper part.
    std::size_t lower = 0;
    while (lower < count && targets[lower] <= reachLower) ++lower;
    std::size_t atPivot = lower;
    while (atPivot < count && targets[atPivot] <= reachPivot) ++atPivot;
    for (std::size_t i = lower; i < atPivot; ++i) results[i] = pivot;
    if (lower > 0) SelectMany(first, m1, base, targets, results, lower, largest, slack);
    // Continue with the upper part in this frame.
    targets += atPivot;
    results += atPivot;
    count -= atPivot;
    base = throughPivot;
    first = m2;
  }
}

}  // namespace

std::vector<double> WeightedSelectMany(std::vector<WeightedValue>& values, const std::vector<double>& targets) {
  std::vector<double> results(targets.size(), SYSMIS);
  if (values.empty() || targets.empty()) return results;
  std::vector<std::size_t> order(targets.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return targets[a] < targets[b]; });
  std::vector<double> sorted(targets.size());
  for (std::size_t i = 0; i < order.size(); ++i) sorted[i] = targets[order[i]];
  double largest = values[0].value;
  CompensatedSum total;
  for (const WeightedValue& x : values) {
    largest = std::max(largest, x.value);
    total.Add(x.weight);
  }
  std::vector<double> found(targets.size(), SYSMIS);
  SelectMany(values.data(), values.data() + values.size(), CompensatedSum{}, sorted.data(), found.data(), sorted.size(),
             largest, CumulativeSlack(total.Value()));
  for (std::size_t i = 0; i < order.size(); ++i) results[order[i]] = found[i];
  return results;
}

double WeightedSelect(std::vector<WeightedValue>& values, double t) { return WeightedSelectMany(values, {t}).front(); }

// The table's distinct values become the raw storage. Unit weights expand
// back into repeated values so that plain selection still applies; other
// weights stay aggregated, one pair per distinct value, which the weighted
// (W + 1)p rule treats exactly as the equal values it replaces.
void ScaleAccumulator::SwitchToRaw() {
  const std::size_t distinct = fSums.size();
  if (fWeighted) {
    fValues.reserve(2 * distinct);
    fWeights.reserve(2 * distinct);
    for (std::uint32_t s = 0; s < distinct; ++s) {
      fValues.push_back(fTable.Value(s));
      fWeights.push_back(fSums[s].Value());
    }
  } else {
    // Unit weights: every sum is a whole count, exact in a double.
    double total = 0.0;
    for (const CompensatedSum& c : fSums) total += c.sum;
    fValues.reserve(2 * static_cast<std::size_t>(total));
    for (std::uint32_t s = 0; s < distinct; ++s) {
      fValues.insert(fValues.end(), static_cast<std::size_t>(fSums[s].sum), fTable.Value(s));
    }
  }
  fRaw = true;
  fTable = NumericCategoryIndex{};
  std::vector<CompensatedSum>().swap(fSums);
}

void ScaleAccumulator::Retable() {
  std::vector<double> values = std::move(fValues);
  fValues = {};
  fRaw = false;
  fKept = 0;
  fRetabling = true;
  for (double x : values) Keep(x, 1.0);
  fRetabling = false;
}

void ScaleAccumulator::KeepAggregated(double x, const CompensatedSum& w) {
  if (!fRaw) {
    ++fKept;
    const std::uint32_t slot = fTable.FindOrInsert(x);
    if (slot < fSums.size()) {
      fSums[slot].Add(w);
      return;
    }
    // With unit weights a table that mostly grows goes raw as in Keep: the
    // quartiles are order statistics of the same values either way, and
    // thousands of such tables (one per continuous variable) taken entry by
    // entry would not stay in the cache.
    const bool dense = !fWeighted && fSums.size() >= kDensityCheck && fSums.size() * 4 > fKept;
    if (fSums.size() < kTableLimit && !dense) {
      fSums.push_back(w);
      return;
    }
    SwitchToRaw();
  }
  if (!fWeighted) {
    // Unit weights: the entry's weight is how many times the value came.
    fValues.insert(fValues.end(), static_cast<std::size_t>(w.sum), x);
    return;
  }
  fValues.push_back(x);
  fWeights.push_back(w.Value());
}

void ScaleAccumulator::Merge(ScaleAccumulator&& later) {
  if (later.Empty()) return;
  if (Empty()) {
    *this = std::move(later);
    return;
  }
  const double na = fWeight.Value();
  const double nb = later.fWeight.Value();
  fWeight.Add(later.fWeight);
  fMissing.Add(later.fMissing);
  if (later.fHasShift) {
    if (!fHasShift) {
      fHasShift = true;
      fShift = later.fShift;
      fMean = later.fMean;
      fM2 = later.fM2;
      fInvScale = later.fInvScale;
      fScaleLimit = later.fScaleLimit;
    } else {
      // Both sums of squares in the coarser units, coarser still when the
      // means lie further apart than those units allow.
      const double delta = ((later.fShift - fShift) + later.fMean) - fMean;
      if (later.fInvScale < fInvScale) {
        const double ratio = later.fInvScale / fInvScale;
        fM2 *= ratio * ratio;
        fInvScale = later.fInvScale;
        fScaleLimit = later.fScaleLimit;
      }
      if (std::fabs(delta) > fScaleLimit) Rescale(delta);
      const double ratio = fInvScale / later.fInvScale;
      const double n = na + nb;
      fMean += delta * (nb / n);
      fM2 += later.fM2 * ratio * ratio + (delta * fInvScale) * (delta * fInvScale) * (na * (nb / n));
    }
  }
  if (!fKeepValues || !later.fKeepValues) return;
  if (Provisional()) Retable();
  if (later.Provisional()) {
    if (fRaw && !fWeighted) {
      // Unit weights on both sides: the same values as the later table's
      // entries repeated, in one copy.
      fValues.insert(fValues.end(), later.fValues.begin(), later.fValues.end());
      return;
    }
    later.Retable();
  }
  // One weight flag for the union: values kept as repeats become pairs of
  // value and weight 1 once either side has another weight.
  if (later.fWeighted && !fWeighted) {
    fWeighted = true;
    if (fRaw) fWeights.assign(fValues.size(), 1.0);
  }
  if (!later.fRaw) {
    for (std::uint32_t s = 0; s < later.fSums.size(); ++s) KeepAggregated(later.fTable.Value(s), later.fSums[s]);
    return;
  }
  if (!fRaw) SwitchToRaw();
  fValues.insert(fValues.end(), later.fValues.begin(), later.fValues.end());
  if (!fWeighted) return;
  if (later.fWeighted) {
    fWeights.insert(fWeights.end(), later.fWeights.begin(), later.fWeights.end());
  } else {
    fWeights.resize(fValues.size(), 1.0);
  }
}

// x(t) for every target t from the table: only the distinct values are
// sorted, and the cumulative weights are read off their summed weights.
std::vector<double> ScaleAccumulator::TableSelect(const std::vector<double>& targets) const {
  const std::vector<CompensatedSum>& sums = fSums;
  const NumericCategoryIndex& index = fTable;
  std::vector<std::uint32_t> order(sums.size());
  for (std::uint32_t s = 0; s < order.size(); ++s) order[s] = s;
  std::sort(order.begin(), order.end(),
            [&index](std::uint32_t a, std::uint32_t b) { return index.Value(a) < index.Value(b); });
  std::vector<double> cumulative(order.size());
  CompensatedSum running;
  for (std::size_t i = 0; i < order.size(); ++i) {
    running.Add(sums[order[i]]);
    cumulative[i] = running.Value();
  }
  const double slack = CumulativeSlack(running.Value());
  std::vector<double> out;
  out.reserve(targets.size());
  for (double t : targets) {
    const auto at = std::lower_bound(cumulative.begin(), cumulative.end(), t - slack);
    const std::size_t i = at == cumulative.end() ? order.size() - 1 : static_cast<std::size_t>(at - cumulative.begin());
    out.push_back(index.Value(order[i]));
  }
  return out;
}

std::vector<double> ScaleAccumulator::Percentiles(const std::vector<double>& ps) const {
  std::vector<double> out(ps.size(), SYSMIS);
  const double w = ValidWeight();
  if ((fRaw ? fValues.empty() : fSums.empty()) || !(w > 0.0)) return out;

  // Per percentile: h = (W + 1)p; below 1 the smallest value, from W on the
  // largest, otherwise x(floor h) plus the fraction of the step to the next.
  // An h that misses a whole number only by the error of decimal weights is
  // that number, so that W = 3 from ten weights of 0.3 gives P75 = x(3).
  struct Plan {
    int kind;  // 0 smallest, 1 largest, 2 interpolate
    double k;
    double frac;
  };
  std::vector<Plan> plans;
  std::vector<double> targets;  // x(k) and x(k + 1) of every interpolating plan
  const double slack = CumulativeSlack(w + 1.0);
  for (double p : ps) {
    double h = (w + 1.0) * p;
    const double whole = std::round(h);
    if (std::fabs(h - whole) <= slack) h = whole;
    if (h < 1.0) {
      plans.push_back({0, 0, 0});
    } else if (h >= w - slack) {
      plans.push_back({1, 0, 0});
    } else {
      const double k = std::floor(h);
      plans.push_back({2, k, h - k});
      targets.push_back(k);
      targets.push_back(k + 1.0);
    }
  }

  double smallest = 0.0;
  double largest = 0.0;
  if (fRaw) {
    const auto [minIt, maxIt] = std::minmax_element(fValues.begin(), fValues.end());
    smallest = *minIt;
    largest = *maxIt;
  } else {
    smallest = largest = fTable.Value(0);
    for (std::uint32_t s = 1; s < fSums.size(); ++s) {
      const double v = fTable.Value(s);
      if (v < smallest) smallest = v;
      if (largest < v) largest = v;
    }
  }
  std::vector<double> found;
  if (!targets.empty()) {
    if (!fRaw) {
      found = TableSelect(targets);
    } else if (!fWeighted) {
      // Unit weights: x(t) for whole t is the t-th smallest value.
      std::vector<double> values = fValues;
      const std::size_t n = values.size();
      std::vector<std::size_t> ranks;
      for (double t : targets) ranks.push_back(std::min(static_cast<std::size_t>(t) - 1, n - 1));
      found = OrderStatistics(values, ranks);
    } else {
      std::vector<WeightedValue> pairs(fValues.size());
      for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i] = {fValues[i], fWeights[i]};
      found = WeightedSelectMany(pairs, targets);
    }
  }
  std::size_t f = 0;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const Plan& plan = plans[i];
    if (plan.kind == 0) {
      out[i] = smallest;
    } else if (plan.kind == 1) {
      out[i] = largest;
    } else {
      const double lower = found[f++];
      const double upper = found[f++];
      out[i] = lower + plan.frac * (upper - lower);
    }
  }
  return out;
}

}  // namespace host::engine
