// A whole data set in memory: for every feature a contiguous column of
// values of the feature type F (column-major, so that the split search reads
// one feature without striding), and one label of type L per instance.
//
// The data set owns its columns and labels. Invariant after a complete load:
// `features` has nf columns, each as long as `labels`. Missing values are NaN
// (floating feature types only); impute() replaces them by the column
// medians, fill_missing() by medians recorded elsewhere (a model's).
// Filled and imputed on one thread; afterwards only read, by any number of
// threads at once.
#ifndef SYLVOR_DATASET_DATASET_HPP
#define SYLVOR_DATASET_DATASET_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"

namespace Sylvor {

template <class F, class L>
class MemoryDataSet {
public:
  typedef F feature_type;
  typedef L label_type;

  std::size_t nf = 0;
  std::size_t nc = 2;
  LabelingType ltype = DiscreteZeroOnward;
  std::vector<std::vector<F>> features;  // features[f][i]: feature f of instance i
  std::vector<L> labels;

  void set_num_features(std::size_t n) {
    nf = n;
    features.resize(n);
  }
  void set_labeling(int num_classes, LabelingType lt) {
    nc = static_cast<std::size_t>(num_classes);
    ltype = lt;
  }
  void set_num_classes(std::size_t num_classes) { nc = num_classes; }

  LabelingType get_labeling() const { return ltype; }
  std::size_t get_num_classes() const { return nc; }
  std::size_t get_num_features() const { return nf; }
  std::size_t get_num_instances() const { return labels.size(); }

  const L& get_label(std::size_t i) const { return labels[i]; }
  void set_label(std::size_t i, L label) { labels[i] = label; }

  // Feature f of instance i.
  const F& operator()(std::size_t i, std::size_t f) const { return features[f][i]; }

  const F* begin(std::size_t f) const { return features[f].data(); }
  const F* end(std::size_t f) const { return features[f].data() + features[f].size(); }

  // Appends one instance: the k-th value of [first, last) to column k, then
  // the label. Values are converted to F by the ordinary conversion; a range
  // longer than nf grows the column list.
  template <class Iterator>
  void add_instance(L label, Iterator first, Iterator last) {
    std::size_t k = 0;
    for (; first != last; ++first, ++k) {
      if (k == features.size()) set_num_features(k + 1);
      features[k].push_back(static_cast<F>(*first));
    }
    labels.push_back(label);
  }

  // Replaces the NaN values of every floating column by the column's upper
  // median of its non-NaN values (0 when it has none). One scratch buffer per
  // call. Integer feature types have no missing values: nothing changes.
  void impute() {
    if constexpr (std::is_floating_point<F>::value) {
      std::vector<F> scratch;
      for (std::vector<F>& column : features) {
        if (std::none_of(column.begin(), column.end(), [](F v) { return std::isnan(v); })) continue;
        const F median = upper_median(column, scratch);
        for (F& v : column) {
          if (std::isnan(v)) v = median;
        }
      }
    }
  }

  // The upper median of the non-NaN values of every column (0 for a column
  // without any), as impute() would fill them in.
  std::vector<double> column_medians() const {
    std::vector<double> medians(features.size(), 0.0);
    std::vector<F> scratch;
    for (std::size_t f = 0; f < features.size(); ++f) medians[f] = static_cast<double>(upper_median(features[f], scratch));
    return medians;
  }

  // Replaces the NaN values of column f by medians[f] (converted to F), for
  // the columns that medians covers.
  void fill_missing(const std::vector<double>& medians) {
    if constexpr (std::is_floating_point<F>::value) {
      for (std::size_t f = 0; f < features.size() && f < medians.size(); ++f) {
        const F median = static_cast<F>(medians[f]);
        for (F& v : features[f]) {
          if (std::isnan(v)) v = median;
        }
      }
    }
  }

  // True when some value is missing (NaN).
  bool has_missing() const {
    if constexpr (std::is_floating_point<F>::value) {
      for (const std::vector<F>& column : features) {
        if (std::any_of(column.begin(), column.end(), [](F v) { return std::isnan(v); })) return true;
      }
    }
    return false;
  }

  // Replaces the contents with those of an array view whose values of
  // feature f lie at src.features[f] + i * src.stride_j bytes.
  template <class Source>
  void copy_from(const Source& src) {
    nc = src.nc;
    nf = src.nf;
    ltype = src.ltype;
    features.resize(nf);
    for (std::size_t f = 0; f < nf; ++f) {
      std::vector<F>& column = features[f];
      column.resize(src.ni);
      const char* at = src.features[f];
      for (std::size_t i = 0; i < src.ni; ++i, at += src.stride_j) {
        std::memcpy(&column[i], at, sizeof(F));
      }
    }
    labels.assign(src.ni, L());
    std::copy_n(src.labels.begin(), std::min(src.ni, src.labels.size()), labels.begin());
  }

private:
  // The upper median (element size / 2 in order) of the column's non-NaN
  // values, 0 when there are none; `scratch` is reused.
  static F upper_median(const std::vector<F>& column, std::vector<F>& scratch) {
    scratch.clear();
    for (const F v : column) {
      if constexpr (std::is_floating_point<F>::value) {
        if (std::isnan(v)) continue;
      }
      scratch.push_back(v);
    }
    if (scratch.empty()) return F(0);
    const auto middle = scratch.begin() + static_cast<std::ptrdiff_t>(scratch.size() / 2);
    std::nth_element(scratch.begin(), middle, scratch.end());
    return *middle;
  }
};

}  // namespace Sylvor

#endif
