// Sorting of a node's (feature value, label) buffer, and a two-ended
// partition of an index range around a threshold (tree growth partitions
// its nodes stably, see Splitter::partition).
//
// FlexiSort<F, L> puts buffer entries in ascending order of value and, among
// equal values, of label. For the floating types and short it is
// RadixFlexiSort: a comparison sort (introsort) for small ranges and a
// stable least-significant-digit radix sort on the values' bit patterns for
// large ones, where it is several times faster, its runs of equal values
// then ordered by label. For int and unsigned char it is IntFlexiSort,
// which switches to a counting sort when the node is large compared with
// its value x label range. Entries of equal value and label are alike (up
// to the sign of a zero, which no cut between distinct values sees), so the
// order is a function of the node's multiset of entries alone, whatever the
// sort and the standard library: a forest depends on its data and seed only.
// The buffer holds no -0.0 (see without_negative_zero), so that equal
// values have equal bit patterns. Scratch space only grows. A sorter is
// owned by one thread.
#ifndef SYLVOR_LEARN_SORT_HPP
#define SYLVOR_LEARN_SORT_HPP

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace Sylvor {

// The value itself, except that -0.0 becomes 0.0 (v + 0 is v otherwise):
// equal values then have equal bit patterns, as the radix sort needs, and no
// cut lies between two zeros anyway.
template <class F>
inline F without_negative_zero(F v) {
  if constexpr (std::is_floating_point<F>::value) {
    return v + F(0);
  } else {
    return v;
  }
}

// Orders buffer entries by feature value, then equal values by label.
template <class Pair>
struct FeatureThenLabelLessThan {
  bool operator()(const Pair& a, const Pair& b) const {
    return a.first < b.first || (a.first == b.first && a.second < b.second);
  }
};

template <class F, class L>
void order_equal_values_by_label(std::pair<F, L>* first, std::pair<F, L>* last);

// Sorts by value, then orders equal values by label: cheaper than comparing
// labels inside the sort, since equal values are rare where sorting is used.
template <class F, class L>
void comparison_sort(std::pair<F, L>* first, std::pair<F, L>* last) {
  std::sort(first, last, [](const std::pair<F, L>& a, const std::pair<F, L>& b) { return a.first < b.first; });
  order_equal_values_by_label(first, last);
}

// The label of an entry as a class number for counting (truncated toward
// zero). False for a floating label that is not a whole number within 32
// bits: such labels (regression targets) are not counted.
template <class L>
inline bool label_as_class(L label, std::int64_t& number) {
  if constexpr (std::is_floating_point<L>::value) {
    if (!(label == std::trunc(label) && std::fabs(label) < 2147483648.0)) return false;
  }
  number = static_cast<std::int64_t>(label);
  return true;
}

template <class F, class L>
class IntFlexiSort {
public:
  // True when the counting sort pays for n entries in `cells` value x label
  // cells: n log2 n is at least 2 max(n, cells), and the cells fit in 32 bits.
  static bool counting_pays(std::size_t n, std::int64_t cells) {
    if (cells > INT_MAX) return false;
    const double dn = static_cast<double>(n);
    const double work = dn * std::log2(dn);
    return !(work < 2.0 * std::max(dn, static_cast<double>(cells)));
  }

  // Grows the scratch to at least the given sizes (never shrinks).
  void resize(std::size_t num_cells, std::size_t num_labels) {
    if (counts.size() < num_cells) counts.resize(std::max(num_cells, 2 * counts.size()));
    if (starting_offsets.size() < num_labels) {
      starting_offsets.resize(std::max(num_labels, 2 * starting_offsets.size()));
    }
  }

  void sort(std::pair<F, L>* first, std::pair<F, L>* last) {
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (n == 0) return;
    std::int64_t min_v = first->first, max_v = first->first;
    std::int64_t min_l = 0, max_l = 0;
    bool whole_labels = label_as_class(first->second, min_l);
    max_l = min_l;
    for (const std::pair<F, L>* p = first; p != last && whole_labels; ++p) {
      const std::int64_t v = p->first;
      std::int64_t l = 0;
      // Counting rewrites each label from its class number, so it is used
      // only when every label is one.
      whole_labels = label_as_class(p->second, l);
      min_v = std::min(min_v, v);
      max_v = std::max(max_v, v);
      min_l = std::min(min_l, l);
      max_l = std::max(max_l, l);
    }
    const std::int64_t value_range = max_v - min_v + 1;
    const std::int64_t label_range = max_l - min_l + 1;
    const std::int64_t cells = value_range * label_range;  // both at most 2^32: no overflow
    if (!whole_labels || !counting_pays(n, cells)) {
      comparison_sort(first, last);
      return;
    }
    const std::size_t r = static_cast<std::size_t>(value_range);
    const std::size_t k = static_cast<std::size_t>(label_range);
    resize(static_cast<std::size_t>(cells), k);
    std::fill(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(cells), 0);
    for (std::size_t j = 0; j < k; ++j) starting_offsets[j] = static_cast<int>(j * r);
    for (const std::pair<F, L>* p = first; p != last; ++p) {
      std::int64_t l = 0;
      label_as_class(p->second, l);
      const std::size_t label_at = static_cast<std::size_t>(l - min_l);
      const std::size_t value_at = static_cast<std::size_t>(static_cast<std::int64_t>(p->first) - min_v);
      ++counts[static_cast<std::size_t>(starting_offsets[label_at]) + value_at];
    }
    std::pair<F, L>* out = first;
    for (std::size_t j = 0; j < r; ++j) {
      const F value = static_cast<F>(min_v + static_cast<std::int64_t>(j));
      for (std::size_t c = 0; c < k; ++c) {
        const L label = static_cast<L>(min_l + static_cast<std::int64_t>(c));
        for (int copies = counts[static_cast<std::size_t>(starting_offsets[c]) + j]; copies > 0;
             --copies) {
          *out++ = std::pair<F, L>(value, label);
        }
      }
    }
  }

  std::vector<int> counts;
  std::vector<int> starting_offsets;
};

// An unsigned key whose order is the numeric order of the value: the sign
// bit flipped for non-negative values, every bit flipped for negative ones
// (floating types; -0.0 comes before 0.0, which is why the buffer holds no
// -0.0, and NaN is not ordered), the sign bit flipped for short.
template <class F>
struct RadixKey;

// The key of a floating type T through its bit pattern U.
template <class T, class U>
struct FloatingRadixKey {
  typedef U type;
  static type of(T v) {
    static_assert(sizeof(T) == sizeof(U), "the bit pattern must be as wide as the value");
    constexpr U sign = static_cast<U>(U{1} << (8 * sizeof(U) - 1));
    U bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & sign) ? static_cast<U>(~bits) : static_cast<U>(bits | sign);
  }
};

template <>
struct RadixKey<float> : FloatingRadixKey<float, std::uint32_t> {};

template <>
struct RadixKey<double> : FloatingRadixKey<double, std::uint64_t> {};

template <>
struct RadixKey<short> {
  typedef std::uint16_t type;
  static type of(short v) { return static_cast<type>(static_cast<std::uint16_t>(v) ^ 0x8000u); }
};

// Puts the entries of run [run, end) of equal values in ascending label
// order: a short run by insertion, a long one by sorting.
template <class F, class L>
void order_run_by_label(std::pair<F, L>* run, std::pair<F, L>* end) {
  if (end - run > 16) {
    std::sort(run, end, [](const std::pair<F, L>& a, const std::pair<F, L>& b) { return a.second < b.second; });
    return;
  }
  for (std::pair<F, L>* p = run + 1; p != end; ++p) {
    const std::pair<F, L> entry = *p;
    std::pair<F, L>* q = p;
    for (; q != run && entry.second < (q - 1)->second; --q) *q = *(q - 1);
    *q = entry;
  }
}

// Puts every run of equal values of a value-sorted range in ascending label
// order. Only a run holding a label above its successor's is touched, so a
// range of distinct values, or of copies of one instance drawn several
// times, costs one comparison per entry.
template <class F, class L>
void order_equal_values_by_label(std::pair<F, L>* first, std::pair<F, L>* last) {
  if (last - first < 2) return;
  std::pair<F, L>* p = first + 1;
  while (p != last) {
    if (!((p->first == (p - 1)->first) & (p->second < (p - 1)->second))) {
      ++p;
      continue;
    }
    std::pair<F, L>* run = p - 1;
    while (run != first && (run - 1)->first == p->first) --run;
    std::pair<F, L>* end = p + 1;
    while (end != last && end->first == p->first) ++end;
    order_run_by_label(run, end);
    p = end;
  }
}

template <class F, class L>
class RadixFlexiSort {
public:
  // Ranges shorter than this are sorted by comparison.
  static constexpr std::size_t radix_from = 256;

  void sort(std::pair<F, L>* first, std::pair<F, L>* last) {
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (n < radix_from) {
      comparison_sort(first, last);
      return;
    }
    if (scratch.size() < n) scratch.resize(std::max(n, 2 * scratch.size()));
    // Ranges that outgrow the caches take 11-bit digits: fewer passes over
    // memory, for a histogram that still fits the first-level cache.
    std::pair<F, L>* sorted = n >= wide_digits_from ? radix_passes<11>(first, n) : radix_passes<8>(first, n);
    if (sorted != first) std::copy(sorted, sorted + n, first);
    order_equal_values_by_label(first, last);
  }

private:
  static constexpr std::size_t wide_digits_from = std::size_t{1} << 16;

  // A stable least-significant-digit radix sort of the n entries at first by
  // their keys, Bits bits per pass, moving them between the range and the
  // scratch; returns where the sorted entries ended up.
  template <unsigned Bits>
  std::pair<F, L>* radix_passes(std::pair<F, L>* first, std::size_t n) {
    typedef typename RadixKey<F>::type Key;
    constexpr std::size_t buckets = std::size_t{1} << Bits;
    constexpr Key mask = static_cast<Key>(buckets - 1);
    constexpr std::size_t passes = (8 * sizeof(Key) + Bits - 1) / Bits;
    counts.assign(passes * buckets, 0);
    for (std::size_t i = 0; i < n; ++i) {
      const Key key = RadixKey<F>::of(first[i].first);
      for (std::size_t d = 0; d < passes; ++d) ++counts[d * buckets + ((key >> (Bits * d)) & mask)];
    }
    std::pair<F, L>* from = first;
    std::pair<F, L>* to = scratch.data();
    for (std::size_t d = 0; d < passes; ++d) {
      std::size_t* count = counts.data() + d * buckets;
      // A digit shared by every entry leaves the order as it is.
      if (count[(RadixKey<F>::of(first->first) >> (Bits * d)) & mask] == n) continue;
      std::size_t offset = 0;
      for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t c = count[b];
        count[b] = offset;
        offset += c;
      }
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t b = (RadixKey<F>::of(from[i].first) >> (Bits * d)) & mask;
        to[count[b]++] = from[i];
      }
      std::swap(from, to);
    }
    return from;
  }

  std::vector<std::pair<F, L>> scratch;
  std::vector<std::size_t> counts;  // per pass, per digit value
};

template <class F, class L>
using FlexiSort = typename std::conditional<std::is_same<F, int>::value ||
                                                std::is_same<F, unsigned char>::value,
                                            IntFlexiSort<F, L>, RadixFlexiSort<F, L>>::type;

// Reorders the index range [first, last) so that the indices whose value
// (column[index]) satisfies `pred` come first; returns the first position of
// the rest. Two-ended: the order within each side is not kept.
template <class F, class IndexIterator, class Predicate>
IndexIterator argpartition(const F* column, IndexIterator first, IndexIterator last,
                           Predicate pred) {
  for (;;) {
    while (first != last && pred(column[*first])) ++first;
    if (first == last) return first;
    do {
      --last;
      if (first == last) return first;
    } while (!pred(column[*last]));
    std::iter_swap(first, last);
    ++first;
  }
}

}  // namespace Sylvor

#endif
