#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <string>

namespace velmora::http {

// A failure of a file operation, carrying the errno of the failed call (or 0).
class FileError : public std::exception {
 public:
  explicit FileError(int32_t errorNumber);
  int32_t errorNumber() const { return errorNumber_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  int32_t errorNumber_;
  std::string description_;
};

// A handle on one open stdio stream. It does not close the stream when released: whoever opens
// a file closes it explicitly. Used by one thread at a time.
class File {
 public:
  explicit File(std::FILE* pointer) : pointer_(pointer) {}

  // Each raises FileError with the errno of the failed fopen.
  static File openReading(const std::string& path);   // "rb"
  static File openWriting(const std::string& path);   // "wb"
  static File openUpdating(const std::string& path);  // "r+b"
  static File openWithMode(const std::string& path, const std::string& mode);

  std::FILE* pointer() const { return pointer_; }

  void close();
  // Positions from the start of the file; false when fseek fails (a negative offset, say).
  bool seek(int64_t offset);
  // Fills at most buffer.size() bytes and answers the count; 0 for an empty buffer or at the end
  // of the file. Raises FileError when the stream fails before its end.
  std::size_t read(std::span<uint8_t> buffer);
  // Writes all bytes with one fwrite; raises FileError when fewer went out.
  void write(std::span<const uint8_t> bytes);

 private:
  std::FILE* pointer_;
};

}  // namespace velmora::http
