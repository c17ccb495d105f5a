// Fingerprints of file contents: the 64-bit FNV-1a hash of the bytes and
// their count. Companion files record the fingerprint of the model bytes
// they were written with, so a reader can tell a companion of these very
// bytes from one left by another write.
//
// FingerprintingStream fingerprints the bytes written through it while it
// passes them on to another stream, so a writer knows the fingerprint of
// exactly what it wrote without reading the file back (after which another
// process may already have replaced it). Values and streams belong to the
// thread that uses them.
#ifndef SYLVOR_DEFS_FINGERPRINT_HPP
#define SYLVOR_DEFS_FINGERPRINT_HPP

#include <cstdint>
#include <istream>
#include <ostream>
#include <streambuf>
#include <string>

namespace Sylvor {

struct FileFingerprint {
  std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a offset basis: the hash of no bytes
  std::uint64_t size = 0;

  // Adds bytes at the end of the fingerprinted contents.
  void add(const char* bytes, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) hash = (hash ^ static_cast<unsigned char>(bytes[k])) * 1099511628211ULL;
    size += count;
  }

  bool operator==(const FileFingerprint& other) const { return hash == other.hash && size == other.size; }
  bool operator!=(const FileFingerprint& other) const { return !(*this == other); }
};

// The fingerprint of a file's contents; throws Exception naming the file as
// the `what` file when it cannot be opened or read.
FileFingerprint fingerprint_of_file(const std::string& path, const std::string& what = "model");

// The fingerprint of bytes held in memory.
FileFingerprint fingerprint_of_bytes(const std::string& bytes);

// An output stream that writes through to `target` and fingerprints every
// byte it passes on, in blocks of its own buffer; flush() (or
// fingerprint()) passes on what the buffer holds.
class FingerprintingStream : public std::ostream {
public:
  explicit FingerprintingStream(std::ostream& target);
  ~FingerprintingStream() override;

  // The fingerprint of everything written so far (flushed to the target
  // first).
  const FileFingerprint& fingerprint();

private:
  class Buffer : public std::streambuf {
  public:
    explicit Buffer(std::streambuf* target);
    FileFingerprint print;

  protected:
    int_type overflow(int_type c) override;
    int sync() override;

  private:
    // Hands the buffered bytes to the target; false when it takes fewer.
    bool pass_on();

    std::streambuf* target;
    char block[1 << 14];
  };
  Buffer buffer;
};

// An input stream that reads through `source` and fingerprints every byte
// it takes from it, so a reader knows the fingerprint of exactly the bytes
// it parsed (the file may be replaced by the time it could read it again).
// The fingerprint covers the whole file once the reader has reached its
// end.
class FingerprintingInput : public std::istream {
public:
  explicit FingerprintingInput(std::istream& source);

  const FileFingerprint& fingerprint() const { return buffer.print; }

private:
  class Buffer : public std::streambuf {
  public:
    explicit Buffer(std::streambuf* source) : source(source) {}
    FileFingerprint print;

  protected:
    int_type underflow() override;

  private:
    std::streambuf* source;
    char block[1 << 16];
  };
  Buffer buffer;
};

}  // namespace Sylvor

#endif
