#include "relay/conversation_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "platform/json_depth.h"
#include "platform/settings_file.h"
#include "platform/user_folders.h"
#include "platform/whole_file.h"
#include "relay/random_id.h"

namespace velmora::relay {

namespace {

using Json = nlohmann::json;
using Decoded = std::variant<std::vector<ChatMessage>, std::string>;  // the turns, or why not

nlohmann::ordered_json encodeSpeed(const AnswerSpeed& speed) {
  nlohmann::ordered_json object = {{"firstPieceSeconds", speed.firstPieceSeconds}};
  if (speed.tokensPerSecond) object["tokensPerSecond"] = *speed.tokensPerSecond;
  if (speed.tokens) object["tokens"] = *speed.tokens;
  if (speed.estimated) object["estimated"] = true;
  return object;
}

// The speed of a turn's "speed" member; nullopt when it has not that shape.
std::optional<AnswerSpeed> decodeSpeed(const Json& object) {
  if (!object.is_object()) return std::nullopt;
  AnswerSpeed speed;
  std::size_t known = 0;
  const auto number = [&](const char* name) -> std::optional<std::optional<double>> {
    const auto found = object.find(name);
    if (found == object.end()) return std::optional<double>();
    ++known;
    if (!found->is_number() || found->get<double>() < 0) return std::nullopt;
    return std::optional<double>(found->get<double>());
  };
  const auto first = number("firstPieceSeconds");
  const auto perSecond = number("tokensPerSecond");
  const auto tokens = number("tokens");
  if (!first || !*first || !perSecond || !tokens) return std::nullopt;
  const auto estimated = object.find("estimated");
  if (estimated != object.end()) {
    ++known;
    if (!estimated->is_boolean()) return std::nullopt;
    speed.estimated = estimated->get<bool>();
  }
  if (known != object.size()) return std::nullopt;
  speed.firstPieceSeconds = **first;
  speed.tokensPerSecond = *perSecond;
  speed.tokens = *tokens;
  return speed;
}

}  // namespace

std::string encodeConversation(const std::vector<ChatMessage>& messages) {
  // In the order a person reads a turn: who, what, whether it was cut short, and how fast.
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const ChatMessage& message : messages) {
    nlohmann::ordered_json turn = {{"role", message.role}, {"content", message.content}};
    if (!message.images.empty()) {
      nlohmann::ordered_json images = nlohmann::ordered_json::array();
      for (const ChatImage& image : message.images) {
        images.push_back({{"type", mediaType(image.type)}, {"sha256", image.sha256}});
      }
      turn["images"] = std::move(images);
    }
    if (message.stopped) turn["stopped"] = true;
    if (message.speed) turn["speed"] = encodeSpeed(*message.speed);
    list.push_back(std::move(turn));
  }
  // Bytes that are not UTF-8 cannot go into JSON text; they are written as U+FFFD.
  return nlohmann::ordered_json{{"messages", std::move(list)}}.dump(
             -1, ' ', false, Json::error_handler_t::replace) +
         "\n";
}

namespace {

bool isSha256Hex(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A turn's "images" list, without bytes yet; nullopt when it has not the kept file's shape.
std::optional<std::vector<ChatImage>> decodeImages(const Json& list) {
  if (!list.is_array()) return std::nullopt;
  std::vector<ChatImage> images;
  for (const Json& entry : list) {
    const auto type = entry.is_object() ? entry.find("type") : entry.end();
    const auto hash = entry.is_object() ? entry.find("sha256") : entry.end();
    if (!entry.is_object() || entry.size() != 2 || type == entry.end() || !type->is_string() ||
        hash == entry.end() || !hash->is_string() || !isSha256Hex(hash->get<std::string>())) {
      return std::nullopt;
    }
    const std::optional<ImageType> known = imageTypeNamed(type->get<std::string>());
    if (!known) return std::nullopt;
    images.push_back({*known, hash->get<std::string>(), nullptr, randomHexId()});
  }
  return images;
}

// "turn 3 ..." counts from 1, as a person reading the file would.
std::string turnFault(std::size_t index, const std::string& fault) {
  return "turn " + std::to_string(index + 1) + " " + fault;
}

Decoded decode(const std::string& text) {
  if (platform::jsonNestsDeeperThan(text)) return std::string("nested too deeply");
  Json document;
  try {
    document = Json::parse(text);
  } catch (const Json::parse_error& error) {
    return "not valid JSON (at byte " + std::to_string(error.byte) + ")";
  }
  const auto list = document.is_object() ? document.find("messages") : document.end();
  if (!document.is_object() || document.size() != 1 || list == document.end() ||
      !list->is_array()) {
    return std::string("not an object holding only a \"messages\" list");
  }
  std::vector<ChatMessage> messages;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const Json& turn = (*list)[i];
    if (!turn.is_object()) return turnFault(i, "is not an object");
    const auto role = turn.find("role");
    const auto content = turn.find("content");
    const auto stopped = turn.find("stopped");
    const auto speed = turn.find("speed");
    const auto images = turn.find("images");
    if (role == turn.end() || !role->is_string() || (*role != "user" && *role != "assistant")) {
      return turnFault(i, "has no role \"user\" or \"assistant\"");
    }
    if (content == turn.end() || !content->is_string()) return turnFault(i, "has no text content");
    if (stopped != turn.end() && !stopped->is_boolean()) {
      return turnFault(i, "has a \"stopped\" that is not true or false");
    }
    std::optional<AnswerSpeed> decodedSpeed;
    if (speed != turn.end()) {
      decodedSpeed = decodeSpeed(*speed);
      if (!decodedSpeed) return turnFault(i, "has a \"speed\" of another shape");
    }
    std::optional<std::vector<ChatImage>> decodedImages = std::vector<ChatImage>();
    if (images != turn.end()) {
      decodedImages = decodeImages(*images);
      if (!decodedImages) return turnFault(i, "has \"images\" of another shape");
    }
    if (turn.size() !=
        2u + (stopped != turn.end()) + (speed != turn.end()) + (images != turn.end())) {
      return turnFault(i, "has members other than role, content, images, stopped and speed");
    }
    messages.push_back({role->get<std::string>(), content->get<std::string>(),
                        stopped != turn.end() && stopped->get<bool>(), decodedSpeed,
                        std::move(*decodedImages)});
  }
  return messages;
}

// Renames `from` to `to` unless `to` exists; errno set on failure (EEXIST when it exists).
bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  // File systems without that flag: a new link fails when the name is taken, as a rename
  // must here.
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

// Moves the file to "NAME.unreadable-YYYYMMDD-HHMMSS" (with "-2", "-3", ... when that is
// taken); the new name, or why it could not be moved.
std::variant<std::filesystem::path, std::string> setAside(const std::filesystem::path& path) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char stamp[32] = "";
  if (::localtime_r(&now, &local) != nullptr) {
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  }
  const std::string base = path.string() + ".unreadable-" + stamp;
  for (int attempt = 1; attempt <= 100; ++attempt) {
    const std::filesystem::path name = attempt == 1 ? base : base + "-" + std::to_string(attempt);
    if (renameWithoutReplacing(path, name)) return name;
    if (errno != EEXIST) return platform::errnoText(errno);
  }
  return std::string("every name tried is taken");
}

std::string imageFileName(const ChatImage& image) {
  return image.sha256 + "." + std::string(fileExtension(image.type));
}

// The bytes of the kept file of `image`; null when it is missing or does not hold them.
std::shared_ptr<const std::vector<uint8_t>> readImageFile(const ChatImage& image,
                                                          const std::filesystem::path& file) {
  platform::FileRead read = platform::readWholeFile(file);
  auto* found = std::get_if<platform::FileBytes>(&read);
  if (found == nullptr) return nullptr;
  std::vector<uint8_t> bytes(found->bytes.begin(), found->bytes.end());
  found->bytes = {};
  if (recognisedImageType(bytes) != image.type || sha256Hex(bytes) != image.sha256) return nullptr;
  return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

// Pictures read back so far by file name: one sent twice is held once.
using ImagesRead = std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>>;

// Gives a picture read from the file its bytes when its kept file holds what it names; false
// when the file is missing or damaged.
bool readImageBack(ChatImage& image, const std::filesystem::path& folder, ImagesRead& read) {
  const std::string name = imageFileName(image);
  if (const auto found = read.find(name); found != read.end()) {
    image.bytes = found->second;
    return image.bytes != nullptr;
  }
  image.bytes = read[name] = readImageFile(image, folder / name);
  return image.bytes != nullptr;
}

}  // namespace

ConversationStore::ConversationStore(std::filesystem::path path)
    : path_(std::move(path)),
      imagesFolder_(path_.parent_path() / (path_.stem().string() + ".images")) {}

std::filesystem::path ConversationStore::defaultPath() {
  return platform::xdgBaseFolder("XDG_STATE_HOME", ".local/state") / "velmora" /
         "conversation.json";
}

std::filesystem::path ConversationStore::pathFor(const std::filesystem::path& settingsFile) {
  std::error_code ignored;
  const auto same = [&](const std::filesystem::path& a, const std::filesystem::path& b) {
    return std::filesystem::weakly_canonical(a, ignored) ==
           std::filesystem::weakly_canonical(b, ignored);
  };
  if (same(settingsFile, platform::SettingsFile::defaultPath())) return defaultPath();
  return settingsFile.parent_path() / (settingsFile.stem().string() + ".conversation.json");
}

bool ConversationStore::lockForKeeping() {
  // Only this folder is made private: its parents may be shared ones, such as ~/.local.
  const auto outcome = lock_.acquire(path_.string() + ".lock", 0700);
  // A lock that cannot be had for another reason (a read-only folder) leaves nobody to exclude;
  // the writes then say what fails.
  return !std::holds_alternative<platform::LockBusy>(outcome);
}

ConversationLoad ConversationStore::loadAndKeep(ChatHistory& history,
                                                const std::function<void(ChatMessage&)>& prepare) {
  std::lock_guard lock(writeMutex_);
  if (!lockForKeeping()) return KeptElsewhere{};
  keeping_ = true;
  const platform::FileRead read = platform::readWholeFile(path_);
  if (std::holds_alternative<platform::NoSuchFile>(read)) return NoConversationKept{};
  const auto* unreadable = std::get_if<platform::FileUnreadable>(&read);
  Decoded decoded = unreadable ? Decoded("unreadable: " + unreadable->reason)
                               : decode(std::get<platform::FileBytes>(read).bytes);
  if (auto* messages = std::get_if<std::vector<ChatMessage>>(&decoded)) {
    ConversationLoaded loaded{messages->size()};
    ImagesRead readSoFar;
    for (ChatMessage& turn : *messages) {
      for (ChatImage& image : turn.images) {
        if (readImageBack(image, imagesFolder_, readSoFar)) {
          writtenImages_.insert(imageFileName(image));
        } else {
          ++loaded.lostImages;
        }
      }
      if (prepare) prepare(turn);
    }
    history.replace(std::move(*messages));
    writtenRevision_ = history.snapshot().revision;
    return loaded;
  }
  std::string reason = std::get<std::string>(std::move(decoded));
  auto moved = setAside(path_);
  if (auto* name = std::get_if<std::filesystem::path>(&moved)) {
    // Its pictures go along, or the next write would remove them as named by nothing.
    std::error_code ignored;
    std::filesystem::rename(imagesFolder_, name->string() + ".images", ignored);
    return ConversationSetAside{std::move(reason), std::move(*name)};
  }
  leftInPlace_ = true;
  return ConversationLeftInPlace{std::move(reason), std::get<std::string>(std::move(moved))};
}

WriteReport ConversationStore::startKeeping(const ChatHistory& history) {
  std::lock_guard lock(writeMutex_);
  if (!lockForKeeping()) return KeptElsewhere{};
  keeping_ = true;
  return writeLocked(history);
}

StopReport ConversationStore::stopKeeping() {
  std::lock_guard lock(writeMutex_);
  keeping_ = false;
  writtenRevision_.reset();
  writtenImages_.clear();
  failing_ = false;
  if (leftInPlace_) return KeptFileStays{"it could not be read and is left as it was"};
  if (!lock_.isHeld() && !std::filesystem::exists(path_)) {
    platform::removeAbandonedTemporaries(path_);
    return NoKeptFile{};  // nothing to take a lock for, nor a folder to make
  }
  if (!lockForKeeping()) return KeptFileStays{"another Velmora process keeps it"};
  platform::removeAbandonedTemporaries(path_);
  removeImagesOtherThan({});
  std::error_code ignored;
  std::filesystem::remove(imagesFolder_, ignored);  // only when empty
  const int removed = ::unlink(path_.c_str()) == 0 ? 0 : errno;
  lock_.releaseAndRemove();
  if (removed == 0) return KeptFileRemoved{};
  if (removed == ENOENT) return NoKeptFile{};
  return KeptFileStays{"removing it failed: " + platform::errnoText(removed)};
}

WriteReport ConversationStore::save(const ChatHistory& history) {
  if (!keeping_) return WriteAsUsual{};
  std::lock_guard lock(writeMutex_);
  return writeLocked(history);
}

WriteReport ConversationStore::writeLocked(const ChatHistory& history) {
  if (!keeping_ || leftInPlace_) return WriteAsUsual{};
  const ChatSnapshot state = history.snapshot();
  if (writtenRevision_ && *writtenRevision_ >= state.revision) return WriteAsUsual{};
  // The pictures first: a conversation on disk never names a picture that is not.
  std::set<std::string> named;
  std::optional<std::string> failure;
  for (const ChatMessage& turn : state.messages) {
    for (const ChatImage& image : turn.images) {
      const std::string name = imageFileName(image);
      named.insert(name);
      if (failure || !image.bytes || writtenImages_.contains(name)) continue;
      const auto& bytes = *image.bytes;
      failure = platform::writeFileAtomically(
          imagesFolder_ / name,
          std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), 0700);
      if (!failure) writtenImages_.insert(name);
    }
  }
  // Only this folder is made private: its parents may be shared ones, such as ~/.local.
  if (!failure) {
    failure = platform::writeFileAtomically(path_, encodeConversation(state.messages), 0700);
  }
  if (!failure) removeImagesOtherThan(named);
  if (failure) {
    return std::exchange(failing_, true) ? WriteReport(WriteAsUsual{})
                                         : WriteReport(WriteFailed{*failure});
  }
  writtenRevision_ = state.revision;
  return std::exchange(failing_, false) ? WriteReport(WritingAgain{}) : WriteReport(WriteAsUsual{});
}

void ConversationStore::removeImagesOtherThan(const std::set<std::string>& named) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(imagesFolder_, error)) {
    const std::string name = entry.path().filename().string();
    // Only what this store writes: a hash, its type, and what an interrupted write leaves.
    if (named.contains(name) || name.size() < 65 || !isSha256Hex(name.substr(0, 64)) ||
        name[64] != '.') {
      continue;
    }
    std::error_code ignored;
    std::filesystem::remove(entry.path(), ignored);
    writtenImages_.erase(name);
  }
}

}  // namespace velmora::relay
