// The exception classes of the library.
//
// Every failure of the library is reported by throwing: one of these classes,
// or a plain std::string for the conversion errors of the text utilities and
// the row errors of the data reader. The root class deliberately does not
// derive from std::exception, so handlers catch, in this order,
// DataIOException, Exception, std::string and std::exception.
//
// An exception owns a copy of its message; objects are immutable after
// construction and may be thrown and caught on any thread.
#ifndef SYLVOR_DEFS_EXCEPTION_HPP
#define SYLVOR_DEFS_EXCEPTION_HPP

#include <string>

namespace Sylvor {

class Exception {
public:
  Exception();
  explicit Exception(const std::string& msg);
  virtual ~Exception();

  const std::string& get_message() const { return msg; }

private:
  std::string msg;
};

// A data set that learning cannot use, for example an empty one.
class IncompatibleDataException : public Exception {
public:
  using Exception::Exception;
  ~IncompatibleDataException() override;
};

// A tracker or accumulator asked for a result while it holds none.
class EmptyTrackerException : public Exception {
public:
  using Exception::Exception;
  ~EmptyTrackerException() override;
};

// A label string or label id that the label map does not know.
class NoSuchLabelException : public Exception {
public:
  using Exception::Exception;
  ~NoSuchLabelException() override;
};

// A syntax or value error in an input file. The line number is 1-based, or -1
// where the reader has no line to name; the message leaves it out.
class DataIOException : public Exception {
public:
  DataIOException(int line_no, const std::string& msg);
  ~DataIOException() override;

  int get_line_no() const { return line_no; }

private:
  int line_no;
};

// Long work stopped on request (a signal, Ctrl-C in Python) before its end.
class InterruptedException : public Exception {
public:
  using Exception::Exception;
  ~InterruptedException() override;
};

// A model file that cannot be parsed.
class FileFormatException : public Exception {
public:
  using Exception::Exception;
  ~FileFormatException() override;
};

}  // namespace Sylvor

#endif
