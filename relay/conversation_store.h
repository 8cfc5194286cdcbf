#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>

#include "platform/whole_file.h"
#include "relay/chat_history.h"

namespace velmora::relay {

// What reading the kept conversation at launch found.
struct ConversationLoaded {
  std::size_t turns = 0;
  // Pictures whose kept file was missing or damaged: their turns say so and carry on without.
  std::size_t lostImages = 0;
};
struct NoConversationKept {};  // no file: an empty conversation, nothing to say
// The file could not be read as a conversation; it now lies under `setAsideAs`, untouched.
struct ConversationSetAside {
  std::string reason;
  std::filesystem::path setAsideAs;
};
// Neither readable nor movable: it stays where it is and is not written over during this run.
struct ConversationLeftInPlace {
  std::string reason;
  std::string setAsideFailure;
};
// Another process keeps the conversation in this file (it holds the file's lock): this one
// neither reads nor writes it and keeps its conversation in memory only.
struct KeptElsewhere {};
using ConversationLoad = std::variant<ConversationLoaded, NoConversationKept, ConversationSetAside,
                                      ConversationLeftInPlace, KeptElsewhere>;

// What a write has to tell the user: only the first failure of an outage and its end count.
struct WriteAsUsual {};  // written, or nothing to write
struct WriteFailed {
  std::string reason;
};
struct WritingAgain {};  // written after failures
using WriteReport = std::variant<WriteAsUsual, WriteFailed, WritingAgain, KeptElsewhere>;

// What became of the file when keeping stopped.
struct KeptFileRemoved {};
struct NoKeptFile {};
struct KeptFileStays {
  std::string reason;
};
using StopReport = std::variant<KeptFileRemoved, NoKeptFile, KeptFileStays>;

// The shared conversation kept in a file across launches, as a JSON object:
// {"messages":[{"role":"user","content":"hi"},{"role":"assistant","content":"..","stopped":true,
//   "speed":{"firstPieceSeconds":0.8,"tokensPerSecond":41.5,"tokens":120,"estimated":true}}]}
// ("stopped" and "estimated" only when true, "speed" only when measured). A turn with pictures
// names them, "images":[{"type":"image/png","sha256":"<64 hex digits>"}], and each lies beside
// the file in "conversation.images/" as "<sha256>.png" (the file's own stem before ".images").
// Reading accepts exactly that shape: roles "user" and "assistant", text contents, optional
// "images" of those types, an optional boolean "stopped" and an optional "speed" of numbers of
// at least 0.
//
// While keeping, the history is written after each change (see save()) with
// platform::writeFileAtomically, readable by its owner only, in a folder that, when it has to be
// made, only its owner may enter. New pictures are written before the conversation that names
// them, and pictures no longer named (a cleared conversation) are removed after it. Nothing is
// written while not keeping. Keeping holds an exclusive lock on the file's lock file
// ("conversation.json.lock" beside it): one process at a time keeps a file, and a second one is
// told KeptElsewhere and never touches it.
//
// Every call may be made from any thread unless it says otherwise.
// The conversation in the kept file's format, with a line end. Pure; any thread.
std::string encodeConversation(const std::vector<ChatMessage>& messages);

class ConversationStore {
 public:
  explicit ConversationStore(std::filesystem::path path = defaultPath());

  // $XDG_STATE_HOME/velmora/conversation.json, or ~/.local/state/velmora/conversation.json when
  // that variable is unset, empty or not an absolute path (platform::xdgBaseFolder).
  static std::filesystem::path defaultPath();
  // The file of the profile whose settings are in `settingsFile`: defaultPath() for the default
  // settings file, else beside it, named after it ("work.json": "work.conversation.json"), so
  // that profiles never share one.
  static std::filesystem::path pathFor(const std::filesystem::path& settingsFile);

  const std::filesystem::path& path() const { return path_; }
  bool isKeeping() const { return keeping_; }

  // Reads the file into `history` (replacing its turns when it holds a conversation) and keeps
  // it from then on. A file that cannot be read as a conversation is renamed beside itself
  // ("conversation.json.unreadable-20261207-211500", never over another file), its pictures'
  // folder with it ("...-211500.images"), and the history is left as it was. A picture read
  // back gets its bytes (once for all turns that name it) or none when its file is missing or
  // damaged. Each turn read passes through `prepare` first (when given). Once, at launch, before
  // anything changes the history.
  ConversationLoad loadAndKeep(ChatHistory& history,
                               const std::function<void(ChatMessage&)>& prepare = {});

  // Writes the history at once and after every change from now on.
  WriteReport startKeeping(const ChatHistory& history);

  // Writes nothing from now on and removes the file and what interrupted writes left beside it
  // (the user asked not to keep the conversation); an unreadable file left in place stays, and
  // so does a file another process keeps.
  StopReport stopKeeping();

  // Writes the history's state after a change, unless not keeping or the state written last is
  // as new. Call it after each change, outside the history's lock; several threads may call it at
  // once and the file ends with the newest state (see writeMutex_). A slow disk holds up only
  // the callers of this store, never readers of the history.
  WriteReport save(const ChatHistory& history);

 private:
  WriteReport writeLocked(const ChatHistory& history);  // with writeMutex_ held

  // Takes the lock for keeping; false when another process holds it. With writeMutex_ held.
  bool lockForKeeping();
  // Removes the picture files not in `named` (file names). With writeMutex_ held.
  void removeImagesOtherThan(const std::set<std::string>& named);

  const std::filesystem::path path_;
  const std::filesystem::path imagesFolder_;
  platform::ExclusiveFileLock lock_;  // guarded by writeMutex_; held while keeping
  // Held for the whole of each file write, and the state to write is read with it held: a state
  // read later is never older, so a thread that read its state early cannot write it over a
  // newer one, and threads that waited find their change already written.
  std::mutex writeMutex_;
  // Written with writeMutex_ held; read without it so that save() costs nothing while off.
  std::atomic<bool> keeping_ = false;
  std::optional<uint64_t> writtenRevision_;  // guarded by writeMutex_; none while no file is ours
  bool failing_ = false;                     // guarded by writeMutex_; the last write failed
  std::set<std::string> writtenImages_;      // guarded by writeMutex_; picture files on disk
  bool leftInPlace_ = false;  // guarded by writeMutex_; an unreadable file never written over
};

}  // namespace velmora::relay
