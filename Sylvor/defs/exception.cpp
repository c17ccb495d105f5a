#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

Exception::Exception() = default;
Exception::Exception(const std::string& msg) : msg(msg) {}
Exception::~Exception() = default;

IncompatibleDataException::~IncompatibleDataException() = default;
EmptyTrackerException::~EmptyTrackerException() = default;
NoSuchLabelException::~NoSuchLabelException() = default;
FileFormatException::~FileFormatException() = default;
InterruptedException::~InterruptedException() = default;

DataIOException::DataIOException(int line_no, const std::string& msg)
    : Exception(msg), line_no(line_no) {}
DataIOException::~DataIOException() = default;

}  // namespace Sylvor
