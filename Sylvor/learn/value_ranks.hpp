// The ranks of feature values, built once per forest for the counting split
// scan. For every feature whose values are few (at most a given number of
// distinct ones), ValueRanks keeps its distinct values in ascending order
// and, per instance, its cell: the rank of its value among them joined with
// the count slot of its label, the one index the counting scan needs; other
// features (and
// those holding NaN or a negative zero, whose equality is not that of their
// bits) have no ranks and are always sorted.
//
// Built on one thread from a data set that is then only read; afterwards
// read-only, shared by every thread that grows trees on that data set.
#ifndef SYLVOR_LEARN_VALUE_RANKS_HPP
#define SYLVOR_LEARN_VALUE_RANKS_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace Sylvor {

template <class F>
struct RankedFeature {
  std::vector<F> values;            // the distinct values, ascending
  std::vector<std::uint16_t> cell;  // per instance: rank of its value x slots + slot of its label
};

template <class F>
class ValueRanks {
public:
  // The cells of a feature are numbered in 16 bits.
  static constexpr std::size_t max_cells = 65536;

  ValueRanks() = default;

  // Ranks the features of `data` that have at most `max_values` distinct
  // values, and at most max_cells / slots; an instance's cell joins its
  // value's rank and its label's slot (slot_of(label) < slots).
  template <class DataSet, class SlotOf>
  ValueRanks(const DataSet& data, std::size_t max_values, std::size_t slots, SlotOf slot_of)
      : features(data.get_num_features()), slots(slots) {
    const std::size_t n = data.get_num_instances();
    DistinctValues distinct(std::min(max_values, max_cells / std::max<std::size_t>(slots, 1)));
    for (std::size_t f = 0; f < features.size(); ++f) {
      const F* column = data.begin(f);
      if (!distinct.collect(column, n)) continue;
      RankedFeature<F>& ranked = features[f];
      ranked.values = distinct.sorted_values();
      distinct.number_by_rank(ranked.values);
      ranked.cell.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        ranked.cell[i] =
            static_cast<std::uint16_t>(distinct.rank_of(column[i]) * slots + slot_of(data.get_label(i)));
      }
    }
  }

  // The number of label slots the cells were made with.
  std::size_t get_slots() const { return slots; }

  // The ranks of feature f, or null when it has none.
  const RankedFeature<F>* of(std::size_t f) const {
    return f < features.size() && !features[f].values.empty() ? &features[f] : nullptr;
  }

private:
  // An open-addressing set of value bit patterns that gives up past
  // max_ranked_values entries; then maps each value to its rank.
  class DistinctValues {
  public:
    explicit DistinctValues(std::size_t most) : most(most) {}

    // Collects the distinct values of a column; false when there are too
    // many, or a NaN or negative zero.
    bool collect(const F* column, std::size_t n) {
      capacity = 256;
      slots.assign(capacity, Slot{});
      count = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const F v = column[i];
        if constexpr (std::is_floating_point<F>::value) {
          if (std::isnan(v) || (v == F(0) && std::signbit(v))) return false;
        }
        Slot* slot = &find(bits_of(v));
        if (!slot->used) {
          if (++count > most) return false;
          if (2 * count > capacity) {
            grow();
            slot = &find(bits_of(v));
          }
          slot->used = true;
          slot->bits = bits_of(v);
          slot->value = v;
        }
      }
      return count > 0;
    }

    std::vector<F> sorted_values() const {
      std::vector<F> values;
      values.reserve(count);
      for (const Slot& slot : slots) {
        if (slot.used) values.push_back(slot.value);
      }
      std::sort(values.begin(), values.end());
      return values;
    }

    void number_by_rank(const std::vector<F>& values) {
      for (std::size_t r = 0; r < values.size(); ++r) find(bits_of(values[r])).rank = static_cast<std::uint16_t>(r);
    }

    std::size_t rank_of(F v) { return find(bits_of(v)).rank; }

  private:

    struct Slot {
      std::uint64_t bits = 0;
      F value = F(0);
      std::uint16_t rank = 0;
      bool used = false;
    };

    static std::uint64_t bits_of(F v) {
      std::uint64_t bits = 0;
      std::memcpy(&bits, &v, sizeof v);
      return bits;
    }

    // The slot of a bit pattern: its own, or the empty one where it belongs.
    Slot& find(std::uint64_t bits) {
      std::size_t at = static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> 32) & (capacity - 1);
      while (slots[at].used && slots[at].bits != bits) at = (at + 1) & (capacity - 1);
      return slots[at];
    }

    // Doubles the table (kept at most half full).
    void grow() {
      std::vector<Slot> old;
      old.swap(slots);
      capacity *= 2;
      slots.assign(capacity, Slot{});
      for (const Slot& slot : old) {
        if (slot.used) find(slot.bits) = slot;
      }
    }

    std::vector<Slot> slots;
    std::size_t capacity = 256;  // a power of two
    std::size_t count = 0;
    std::size_t most;
  };

  std::vector<RankedFeature<F>> features;
  std::size_t slots = 0;
};

}  // namespace Sylvor

#endif
