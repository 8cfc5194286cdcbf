#include "relay/chat_images.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>

#include "platform/ascii.h"
#include "relay/random_id.h"

namespace velmora::relay {

namespace {

bool startsWith(std::span<const uint8_t> bytes, std::string_view prefix, std::size_t at = 0) {
  if (bytes.size() < at + prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (bytes[at + i] != static_cast<uint8_t>(prefix[i])) return false;
  }
  return true;
}

// Each type's media type and file extension, in the order of ImageType.
struct TypeNames {
  std::string_view media, extension;
};
constexpr TypeNames kTypeNames[] = {
    {"image/jpeg", "jpg"}, {"image/png", "png"}, {"image/webp", "webp"}, {"image/gif", "gif"}};

const TypeNames& namesOf(ImageType type) {
  return kTypeNames[static_cast<std::size_t>(type)];
}

}  // namespace

std::optional<ImageType> recognisedImageType(std::span<const uint8_t> bytes) {
  if (startsWith(bytes, "\xFF\xD8\xFF")) return ImageType::jpeg;
  if (startsWith(bytes, "\x89PNG\r\n\x1A\n")) return ImageType::png;
  if (startsWith(bytes, "RIFF") && startsWith(bytes, "WEBP", 8)) return ImageType::webp;
  if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a")) return ImageType::gif;
  return std::nullopt;
}

std::string_view mediaType(ImageType type) {
  return namesOf(type).media;
}

std::string_view fileExtension(ImageType type) {
  return namesOf(type).extension;
}

std::optional<ImageType> imageTypeNamed(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kTypeNames); ++i) {
    if (kTypeNames[i].media == name) return static_cast<ImageType>(i);
  }
  return std::nullopt;
}

std::string sha256Hex(std::span<const uint8_t> bytes) {
  std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
  SHA256(bytes.data(), bytes.size(), digest.data());
  return platform::lowerHex(digest);
}

ChatImage makeChatImage(ImageType type, std::vector<uint8_t> bytes) {
  ChatImage image{type, sha256Hex(bytes), nullptr, randomHexId()};
  image.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
  return image;
}

void appendBase64(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  // A block at a time: EVP_EncodeBlock takes an int length, and the pictures are megabytes.
  constexpr std::size_t kBlock = 3 * 1024 * 1024;
  for (std::size_t from = 0; from < bytes.size(); from += kBlock) {
    const std::size_t length = std::min(kBlock, bytes.size() - from);
    const std::size_t at = out.size();
    out.resize(at + 4 * ((length + 2) / 3) + 1);  // EVP_EncodeBlock ends with a NUL
    const int written =
        EVP_EncodeBlock(out.data() + at, bytes.data() + from, static_cast<int>(length));
    out.resize(at + static_cast<std::size_t>(written));
  }
}

}  // namespace velmora::relay
