// Proximities of a forest (Breiman): the share of the trees in which two
// rows reach the same leaf. Rows of X against rows of Y, written whole (X
// rows x Y rows) or, for large data, as each X row's top k Y rows (largest
// proximity first, equal ones by Y row number, none of proximity 0).
//
// Out of bag (X and Y the training rows, with each tree's in-bag mask): a
// pair counts only the trees whose samples missed both rows, and its
// proximity is the share of those trees in which they share a leaf (0
// when there is none).
//
// Y's rows are indexed once, per tree and leaf (4 bytes per row and tree);
// then each X row counts its co-members leaf by leaf in a table of Y's size
// that its team member keeps and clears after it, touching only the rows it
// met. Results do not depend on the thread count. Called from any thread;
// the forest and the data are only read.
#ifndef SYLVOR_PREDICT_PROXIMITY_HPP
#define SYLVOR_PREDICT_PROXIMITY_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/model/flat_forest.hpp"
#include "Sylvor/model/leaf_samples.hpp"

namespace Sylvor {

namespace detail {

// Per tree, the rows of a data set by leaf: rows[offsets[t][k] ..
// offsets[t][k + 1]) reach leaf k of tree t, ascending. Rows a mask leaves
// out (in bag for the tree) are not indexed.
struct LeafIndex {
  std::vector<std::vector<std::uint32_t>> offsets;
  std::vector<std::vector<std::uint32_t>> rows;
};

template <class L, class DataSet>
std::vector<std::uint32_t> leaves_of_tree(const FlatForest<L>& forest, std::size_t k, const DataSet& data) {
  const auto columns = column_pointers(data);
  std::vector<std::uint32_t> leaves(data.get_num_instances());
  forest.leaves_of_rows(k, columns.data(), 0, leaves.size(), leaves.data());
  return leaves;
}

template <class L, class DataSet>
LeafIndex index_by_leaf(const FlatForest<L>& forest, const std::vector<std::size_t>& nodes, const DataSet& data,
                        const std::vector<std::vector<bool>>* in_bag, int threads) {
  LeafIndex index;
  index.offsets.resize(forest.size());
  index.rows.resize(forest.size());
  for_each_chunk(forest.size(), 1, threads, [] { return 0; }, [&](int, std::size_t k, std::size_t) {
    const std::vector<std::uint32_t> leaves = leaves_of_tree(forest, k, data);
    std::vector<std::uint32_t>& offsets = index.offsets[k];
    offsets.assign(nodes[k] + 1, 0);
    for (std::size_t j = 0; j < leaves.size(); ++j) {
      if (in_bag == nullptr || !(*in_bag)[k][j]) ++offsets[leaves[j] + 1];
    }
    for (std::size_t v = 0; v < nodes[k]; ++v) offsets[v + 1] += offsets[v];
    std::vector<std::uint32_t> next(offsets.begin(), offsets.end() - 1);
    index.rows[k].resize(offsets.back());
    for (std::size_t j = 0; j < leaves.size(); ++j) {
      if (in_bag == nullptr || !(*in_bag)[k][j]) index.rows[k][next[leaves[j]]++] = static_cast<std::uint32_t>(j);
    }
  });
  return index;
}

// Per row, its in-bag trees as bits (ceil(trees / 64) words a row).
inline std::vector<std::uint64_t> in_bag_bits(const std::vector<std::vector<bool>>& in_bag, std::size_t rows,
                                              std::size_t& words) {
  words = (in_bag.size() + 63) / 64;
  std::vector<std::uint64_t> bits(rows * words, 0);
  for (std::size_t t = 0; t < in_bag.size(); ++t) {
    for (std::size_t i = 0; i < rows; ++i) {
      if (in_bag[t][i]) bits[i * words + t / 64] |= std::uint64_t(1) << (t % 64);
    }
  }
  return bits;
}

// Rows of X walked through the trees together by one team member.
constexpr std::size_t proximity_chunk = 64;

struct ProximityScratch {
  std::vector<std::uint32_t> counts;   // per Y row, the trees shared so far
  std::vector<std::uint32_t> touched;  // the Y rows with a count
  std::vector<std::pair<double, std::uint32_t>> row;  // (proximity, Y row)
  std::vector<std::uint32_t> leaves;   // the X chunk's leaves, tree k row j at k * proximity_chunk + j
};

// Writes X row i's proximities from the counts of its co-members, then
// clears the counts it touched.
template <class TreesOf, class Write>
void write_proximity_row(ProximityScratch& s, std::size_t i, std::size_t ny, std::size_t top_k,
                         const TreesOf& trees_of, Write& write) {
  if (top_k == 0) {
    for (std::size_t j = 0; j < ny; ++j) {
      const double trees = s.counts[j] == 0 ? 0.0 : trees_of(i, j);
      write(i, j, trees > 0.0 ? s.counts[j] / trees : 0.0);
    }
  } else {
    s.row.clear();
    for (const std::uint32_t j : s.touched) {
      const double trees = trees_of(i, j);
      if (trees > 0.0) s.row.push_back({s.counts[j] / trees, j});
    }
    const auto comes_first = [](const std::pair<double, std::uint32_t>& a, const std::pair<double, std::uint32_t>& b) {
      return a.first > b.first || (a.first == b.first && a.second < b.second);
    };
    const std::size_t keep = std::min(top_k, s.row.size());
    std::partial_sort(s.row.begin(), s.row.begin() + static_cast<std::ptrdiff_t>(keep), s.row.end(), comes_first);
    for (std::size_t r = 0; r < keep; ++r) write(i, static_cast<std::size_t>(s.row[r].second), s.row[r].first);
  }
  for (const std::uint32_t j : s.touched) s.counts[j] = 0;
  s.touched.clear();
}

}  // namespace detail

// Calls write(i, j, proximity) for X row i and Y row j: every j in order
// when top_k is 0, else the top_k largest positive proximities of row i,
// largest first (equal ones by j). `nodes` gives each tree's node count.
// With `in_bag` (one mask per tree over the training rows), x and y must
// both be the training rows: out-of-bag proximities.
template <class L, class DataX, class DataY, class Write>
void forest_proximities(const FlatForest<L>& forest, const std::vector<std::size_t>& nodes, const DataX& x,
                        const DataY& y, std::size_t top_k, const std::vector<std::vector<bool>>* in_bag, int threads,
                        Write write) {
  if (forest.empty()) throw Exception("the forest has no trees");
  forest.check(x.get_num_features());
  forest.check(y.get_num_features());
  check_leaf_sample_size(y.get_num_instances(), 0);
  if (in_bag != nullptr && (in_bag->size() != forest.size() || x.get_num_instances() != y.get_num_instances() ||
                            (!in_bag->empty() && in_bag->front().size() != x.get_num_instances()))) {
    throw Exception("out-of-bag proximities are those of the training rows, one in-bag mask per tree");
  }
  const detail::LeafIndex index = detail::index_by_leaf(forest, nodes, y, in_bag, threads);
  std::size_t words = 0;
  const std::vector<std::uint64_t> bits =
      in_bag == nullptr ? std::vector<std::uint64_t>() : detail::in_bag_bits(*in_bag, x.get_num_instances(), words);
  const double num_trees = static_cast<double>(forest.size());
  // The trees a pair is counted over: all, or those missing both rows.
  const auto trees_of = [&](std::size_t i, std::size_t j) {
    if (in_bag == nullptr) return num_trees;
    std::size_t both_in_some = 0;
    for (std::size_t w = 0; w < words; ++w) {
      both_in_some += static_cast<std::size_t>(__builtin_popcountll(bits[i * words + w] | bits[j * words + w]));
    }
    return num_trees - static_cast<double>(both_in_some);
  };
  const auto columns = column_pointers(x);
  const std::size_t ny = y.get_num_instances();
  for_each_chunk(
      x.get_num_instances(), detail::proximity_chunk, threads,
      [&] {
        return detail::ProximityScratch{std::vector<std::uint32_t>(ny, 0), {}, {},
                                        std::vector<std::uint32_t>(forest.size() * detail::proximity_chunk)};
      },
      [&](detail::ProximityScratch& s, std::size_t first, std::size_t count) {
        // The chunk passes through one tree at a time, which stays in cache.
        for (std::size_t k = 0; k < forest.size(); ++k) {
          forest.leaves_of_rows(k, columns.data(), first, count, s.leaves.data() + k * detail::proximity_chunk);
        }
        for (std::size_t row = 0; row < count; ++row) {
          const std::size_t i = first + row;
          for (std::size_t k = 0; k < forest.size(); ++k) {
            if (in_bag != nullptr && (*in_bag)[k][i]) continue;
            const std::uint32_t leaf = s.leaves[k * detail::proximity_chunk + row];
            const std::vector<std::uint32_t>& offsets = index.offsets[k];
            for (std::uint32_t p = offsets[leaf]; p < offsets[leaf + 1]; ++p) {
              const std::uint32_t j = index.rows[k][p];
              if (s.counts[j]++ == 0) s.touched.push_back(j);
            }
          }
          detail::write_proximity_row(s, i, ny, top_k, trees_of, write);
        }
      });
}

}  // namespace Sylvor

#endif
