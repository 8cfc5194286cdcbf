#include "http/file.h"

#include <cerrno>
#include <cstring>

namespace velmora::http {

FileError::FileError(int32_t errorNumber)
    : errorNumber_(errorNumber),
      description_("error(" + std::to_string(errorNumber) + ": " + std::strerror(errorNumber) + ")") {}

File File::openReading(const std::string& path) { return openWithMode(path, "rb"); }
File File::openWriting(const std::string& path) { return openWithMode(path, "wb"); }
File File::openUpdating(const std::string& path) { return openWithMode(path, "r+b"); }

File File::openWithMode(const std::string& path, const std::string& mode) {
  std::FILE* stream = std::fopen(path.c_str(), mode.c_str());
  if (stream == nullptr) throw FileError(errno);
  return File(stream);
}

void File::close() { std::fclose(pointer_); }

bool File::seek(int64_t offset) { return fseeko(pointer_, offset, SEEK_SET) == 0; }

std::size_t File::read(std::span<uint8_t> buffer) {
  if (buffer.empty()) return 0;
  const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), pointer_);
  if (count < buffer.size() && !std::feof(pointer_)) {
    throw FileError(std::ferror(pointer_) ? errno : 0);
  }
  return count;
}

void File::write(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), pointer_) < bytes.size()) throw FileError(errno);
}

}  // namespace velmora::http
