#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Pictures a person sends with a chat page prompt, for models that can see them. Pure functions;
// any thread.
namespace velmora::relay {

// The kinds of picture the relay passes on: what phones take and vision servers read.
enum class ImageType { jpeg, png, webp, gif };

// What a prompt and a conversation may carry. The per-conversation amount is a setting
// ("conversationImagesMiB"); this is its default.
inline constexpr std::size_t kMaxImagesPerPrompt = 4;
inline constexpr std::size_t kMaxImageBytes = 10 * 1024 * 1024;
inline constexpr std::size_t kDefaultConversationImageBytes = 64 * 1024 * 1024;

// The type the bytes begin with, whatever a client named or called them; nullopt for anything
// else.
std::optional<ImageType> recognisedImageType(std::span<const uint8_t> bytes);
std::string_view mediaType(ImageType type);      // "image/jpeg"
std::string_view fileExtension(ImageType type);  // "jpg"
// The type of a media type that mediaType() gives; nullopt for any other text.
std::optional<ImageType> imageTypeNamed(std::string_view mediaType);

// One picture of a turn. Copies share the bytes: a conversation holds each picture once.
struct ChatImage {
  ImageType type = ImageType::png;
  std::string sha256;  // lower-case hex of the bytes; the kept file's name
  // Null when the kept file was missing or damaged at launch: the turn says so instead.
  std::shared_ptr<const std::vector<uint8_t>> bytes;
  // What the page asks for it by (GET /chat/images/ID): random, made anew each launch, so that
  // nobody can guess another's picture. Neither stored nor compared.
  std::string id;
  bool operator==(const ChatImage& other) const {
    return type == other.type && sha256 == other.sha256;
  }
};

// A picture of `bytes` (already recognised as `type`), with its hash and a fresh id
// (randomHexId).
ChatImage makeChatImage(ImageType type, std::vector<uint8_t> bytes);
// The lower-case hex SHA-256 of `bytes`.
std::string sha256Hex(std::span<const uint8_t> bytes);

// Appends `bytes` in base64 (RFC 4648, with padding) to `out`, without a copy of the whole.
void appendBase64(std::vector<uint8_t>& out, std::span<const uint8_t> bytes);

}  // namespace velmora::relay
