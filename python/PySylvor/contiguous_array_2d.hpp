// Strided views of memory owned elsewhere (numpy arrays): Array1D, a vector
// of n elements `stride` bytes apart, and Array2D, a matrix whose element
// (i, j) lies at data + i * stride_i + j * stride_j bytes.
//
// Views never own their memory: it must outlive them. Elements are read and
// written through memcpy, so any alignment is fine. A view may be used by
// several threads when they touch distinct elements.
#ifndef PYSYLVOR_CONTIGUOUS_ARRAY_2D_HPP
#define PYSYLVOR_CONTIGUOUS_ARRAY_2D_HPP

#include <cstddef>
#include <cstring>

namespace Sylvor {

namespace detail {

// A reference to a T at an arbitrary byte address.
template <class T>
class ElementRef {
public:
  explicit ElementRef(char* at) : at(at) {}
  operator T() const {
    T value;
    std::memcpy(&value, at, sizeof(T));
    return value;
  }
  ElementRef& operator=(T value) {
    std::memcpy(at, &value, sizeof(T));
    return *this;
  }

private:
  char* at;
};

}  // namespace detail

template <class T>
struct Array1D {
  char* data = nullptr;
  std::ptrdiff_t n = 0;
  std::ptrdiff_t stride = 0;

  Array1D() = default;
  Array1D(char* data, std::ptrdiff_t n, std::ptrdiff_t stride) : data(data), n(n), stride(stride) {}

  std::size_t size() const { return static_cast<std::size_t>(n); }
  T operator[](std::size_t k) const { return detail::ElementRef<T>(address(k)); }
  detail::ElementRef<T> operator[](std::size_t k) { return detail::ElementRef<T>(address(k)); }

private:
  char* address(std::size_t k) const { return data + static_cast<std::ptrdiff_t>(k) * stride; }
};

template <class T>
struct Array2D {
  char* data = nullptr;
  std::ptrdiff_t nrows = 0;
  std::ptrdiff_t ncols = 0;
  std::ptrdiff_t stride_i = 0;
  std::ptrdiff_t stride_j = 0;

  Array2D() = default;
  Array2D(char* data, std::ptrdiff_t nrows, std::ptrdiff_t ncols, std::ptrdiff_t stride_i, std::ptrdiff_t stride_j)
      : data(data), nrows(nrows), ncols(ncols), stride_i(stride_i), stride_j(stride_j) {}

  std::size_t num_rows() const { return static_cast<std::size_t>(nrows); }
  std::size_t num_cols() const { return static_cast<std::size_t>(ncols); }

  T operator()(std::size_t i, std::size_t j) const { return detail::ElementRef<T>(address(i, j)); }
  detail::ElementRef<T> operator()(std::size_t i, std::size_t j) { return detail::ElementRef<T>(address(i, j)); }

  Array1D<T> get_row(std::size_t i) const {
    return Array1D<T>(data + static_cast<std::ptrdiff_t>(i) * stride_i, ncols, stride_j);
  }

private:
  char* address(std::size_t i, std::size_t j) const {
    return data + static_cast<std::ptrdiff_t>(i) * stride_i + static_cast<std::ptrdiff_t>(j) * stride_j;
  }
};

}  // namespace Sylvor

#endif
