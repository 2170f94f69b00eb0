// One pack as the Node.js addon runs it: its own copies of the arguments,
// the thread CompFilesToZipFileEx runs on, and the flow control of a
// streamed archive. Nothing here knows Node-API: the addon hands in a
// Post function that carries each Message to the JavaScript thread, and
// answers with JobCancel and JobConsumed from there.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zipfolder.h"

namespace zfnode {

// A ZipFolderEvent that outlives the callback: its strings are copied.
struct EventCopy {
  std::int32_t kind = 0;
  std::string name;
  bool hasName = false;
  std::uint64_t size = 0;
  std::uint64_t compressedSize = 0;
  std::int32_t method = 0;
  std::int32_t reason = 0;
  std::string reasonText;
  std::int32_t systemError = 0;
  std::uint64_t bytesRead = 0;
  std::uint32_t entriesAdded = 0;
  std::uint32_t filesLeftOut = 0;
  std::uint32_t filesExcluded = 0;
};

// What the pack thread sends to the JavaScript thread; whoever receives it
// deletes it (and its data).
struct Message {
  enum Type { kEvent, kData, kDone } type = kEvent;
  EventCopy event;          // kEvent
  char* data = nullptr;     // kData: new[]-allocated archive bytes
  std::size_t length = 0;   // kData
  std::int32_t status = 0;  // kDone
};

struct LeftOut {
  std::string path;
  std::string reasonText;
  std::int32_t systemError = 0;
  std::int32_t reason = 0;
};

// What the pack made, read by the JavaScript thread once kDone arrived (the
// pack thread touches it no more after sending kDone).
struct Summary {
  std::uint64_t bytesRead = 0;
  std::uint32_t entries = 0;
  std::uint32_t excluded = 0;
  std::uint64_t archiveSize = 0;
  std::vector<LeftOut> leftOut;
  bool failed = false;  // a FAILED event came
  EventCopy failure;
};

// Carries a message to the JavaScript thread, waiting while its queue is
// full; false when it cannot (Node is shutting down): the message is then
// the caller's to delete.
using PostFunction = bool (*)(void* context, Message* message);

struct Job {
  // The arguments, owned by the job; options points into them.
  std::string src;
  std::string dst;
  bool hasDst = false;
  std::vector<std::string> exclude;
  std::vector<std::string> include;
  std::vector<const char*> excludeNames;
  std::vector<const char*> includeNames;
  std::string prefix;
  std::string storedTypes;  // with hasStoredTypes; "" stores none by name
  bool hasStoredTypes = false;
  std::string password;  // with hasPassword; wiped when the pack ends
  bool hasPassword = false;
  ZipFolderOptions options{};
  bool progress = false;  // every event goes to JavaScript, not only the summary
  bool stream = false;    // the archive's bytes go to JavaScript through kData
  int niceSteps = 0;      // the pack's threads run this much below the process

  PostFunction post = nullptr;
  void* postContext = nullptr;

  std::atomic<bool> cancelled{false};
  bool noMemory = false;    // the pack thread's own memory ran short
  Message* done = nullptr;  // made at the start: the end is told without memory
  // Flow control of a stream: bytes sent and not yet consumed by the reader.
  std::mutex lock;
  std::condition_variable consumed;
  std::size_t outstanding = 0;
  std::size_t window = 0;  // at most this many bytes outstanding
  char* chunk = nullptr;   // the bytes gathered for the next kData
  std::size_t chunkUsed = 0;
  std::size_t chunkSize = 0;
  std::uint64_t streamed = 0;

  Summary summary;
  std::thread thread;
};

// Fills options from the job's own strings and starts the pack thread; false
// when the thread cannot be started. Throws std::bad_alloc.
bool JobStart(Job* job);
// From the JavaScript thread: stop the pack (it ends with ZIPFOLDER_CANCELLED
// unless it had already ended) and wake a write waiting for the reader.
void JobCancel(Job* job);
// From the JavaScript thread: the reader took length more bytes.
void JobConsumed(Job* job, std::size_t length);
// Waits for the pack thread; the job may then be deleted.
void JobJoin(Job* job);

}  // namespace zfnode
