// The feature types a data set can hold, by name: "float", "double", "int",
// "short" and "uchar" (or "unsigned char"), and the call of generic code
// with the type a name stands for. Plain functions, any thread.
#ifndef SYLVOR_DATASET_FEATURE_TYPE_HPP
#define SYLVOR_DATASET_FEATURE_TYPE_HPP

#include <string>

namespace Sylvor {

enum class FeatureType { Float, Double, Int, Short, UnsignedChar };

// The feature type of a name; throws the string "unknown feature type: "
// followed by the name for another.
FeatureType feature_type_from_name(const std::string& name);

// Calls run(F{}) with a value of the C++ type of `type`.
template <class Run>
void with_feature_type(FeatureType type, Run&& run) {
  switch (type) {
    case FeatureType::Double:
      return run(double{});
    case FeatureType::Int:
      return run(int{});
    case FeatureType::Short:
      return run(short{});
    case FeatureType::UnsignedChar:
      return run(static_cast<unsigned char>(0));
    case FeatureType::Float:
      return run(float{});
  }
}

}  // namespace Sylvor

#endif
