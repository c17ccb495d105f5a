#include "Sylvor/defs/fingerprint.hpp"

#include <fstream>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

FileFingerprint fingerprint_of_file(const std::string& path, const std::string& what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("could not open " + what + " file: `" + path + "'");
  FileFingerprint print;
  char block[1 << 16];
  while (in) {
    in.read(block, sizeof block);
    print.add(block, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) throw Exception("could not read " + what + " file: `" + path + "'");
  return print;
}

FileFingerprint fingerprint_of_bytes(const std::string& bytes) {
  FileFingerprint print;
  print.add(bytes.data(), bytes.size());
  return print;
}

FingerprintingStream::FingerprintingStream(std::ostream& target) : std::ostream(nullptr), buffer(target.rdbuf()) {
  rdbuf(&buffer);
}

FingerprintingStream::~FingerprintingStream() { buffer.pubsync(); }

const FileFingerprint& FingerprintingStream::fingerprint() {
  flush();
  return buffer.print;
}

FingerprintingStream::Buffer::Buffer(std::streambuf* target) : target(target) { setp(block, block + sizeof block); }

bool FingerprintingStream::Buffer::pass_on() {
  const std::streamsize count = pptr() - pbase();
  const std::streamsize written = count > 0 ? target->sputn(pbase(), count) : 0;
  if (written > 0) print.add(pbase(), static_cast<std::size_t>(written));
  setp(block, block + sizeof block);
  return written == count;
}

FingerprintingStream::Buffer::int_type FingerprintingStream::Buffer::overflow(int_type c) {
  if (!pass_on()) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
  return traits_type::not_eof(c);
}

int FingerprintingStream::Buffer::sync() {
  if (!pass_on()) return -1;
  return target->pubsync();
}

FingerprintingInput::FingerprintingInput(std::istream& source) : std::istream(nullptr), buffer(source.rdbuf()) {
  rdbuf(&buffer);
}

FingerprintingInput::Buffer::int_type FingerprintingInput::Buffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const std::streamsize got = source != nullptr ? source->sgetn(block, sizeof block) : 0;
  if (got <= 0) return traits_type::eof();
  print.add(block, static_cast<std::size_t>(got));
  setg(block, block, block + got);
  return traits_type::to_int_type(*gptr());
}

}  // namespace Sylvor
