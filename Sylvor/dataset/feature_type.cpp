#include "Sylvor/dataset/feature_type.hpp"

namespace Sylvor {

FeatureType feature_type_from_name(const std::string& name) {
  if (name == "double") return FeatureType::Double;
  if (name == "int") return FeatureType::Int;
  if (name == "short") return FeatureType::Short;
  if (name == "uchar" || name == "unsigned char") return FeatureType::UnsignedChar;
  if (name == "float") return FeatureType::Float;
  throw std::string("unknown feature type: ") + name;
}

}  // namespace Sylvor
