// The pack thread of one job: CompFilesToZipFileEx with callbacks that copy
// events out, check for a cancel, and hand the archive's bytes over in
// chunks no faster than the reader takes them.
#include "pack_job.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "thread_priority.h"

namespace zfnode {
namespace {

EventCopy CopyEvent(const ZipFolderEvent& event) {
  EventCopy copy;
  copy.kind = event.kind;
  copy.hasName = event.name != nullptr;
  if (copy.hasName) copy.name = event.name;
  copy.size = event.size;
  copy.compressedSize = event.compressedSize;
  copy.method = event.method;
  copy.reason = event.reason;
  if (event.reasonText != nullptr) copy.reasonText = event.reasonText;
  copy.systemError = event.systemError;
  copy.bytesRead = event.bytesRead;
  copy.entriesAdded = event.entriesAdded;
  copy.filesLeftOut = event.filesLeftOut;
  copy.filesExcluded = event.filesExcluded;
  return copy;
}

bool Post(Job* job, Message* message) {
  if (job->post(job->postContext, message)) return true;
  delete[] message->data;
  delete message;
  return false;
}

int Record(Job* job, const ZipFolderEvent* event) {
  Summary& summary = job->summary;
  summary.bytesRead = event->bytesRead;
  summary.entries = event->entriesAdded;
  summary.excluded = event->filesExcluded;
  if (event->kind == ZIPFOLDER_EVENT_LEFT_OUT) {
    summary.leftOut.push_back(LeftOut{event->name != nullptr ? event->name : "",
                                      event->reasonText != nullptr ? event->reasonText : "",
                                      event->systemError, event->reason});
  } else if (event->kind == ZIPFOLDER_EVENT_FINISHED) {
    summary.archiveSize = event->size;
  } else if (event->kind == ZIPFOLDER_EVENT_FAILED) {
    summary.failed = true;
    summary.failure = CopyEvent(*event);
  }
  if (job->cancelled.load(std::memory_order_relaxed)) return 1;
  if (job->progress) {
    Message* message = new Message;
    message->type = Message::kEvent;
    message->event = CopyEvent(*event);
    if (!Post(job, message)) return 1;
  }
  return job->cancelled.load(std::memory_order_relaxed) ? 1 : 0;
}

// Copying an event out takes memory; without it the pack stops, and ends
// as ZIPFOLDER_NO_MEMORY rather than as a cancel.
int ZIPFOLDER_CALL OnEvent(void* context, const ZipFolderEvent* event) {
  Job* job = static_cast<Job*>(context);
  try {
    return Record(job, event);
  } catch (const std::bad_alloc&) {
    job->noMemory = true;
    return 1;
  }
}

// Sends the gathered chunk once the reader has room for it: the pack thread
// waits here while the reader does not read, so no more than window bytes
// are ever between the library and the reader.
bool SendChunk(Job* job) {
  if (job->chunkUsed == 0) return true;
  {
    std::unique_lock<std::mutex> hold(job->lock);
    job->consumed.wait(hold, [job] {
      return job->cancelled.load() || job->outstanding == 0 ||
             job->outstanding + job->chunkUsed <= job->window;
    });
    if (job->cancelled.load()) return false;
    job->outstanding += job->chunkUsed;
  }
  Message* message = new (std::nothrow) Message;
  if (message == nullptr) {
    job->noMemory = true;
    return false;
  }
  message->type = Message::kData;
  message->data = job->chunk;
  message->length = job->chunkUsed;
  job->chunk = nullptr;
  job->chunkUsed = 0;
  return Post(job, message);
}

int ZIPFOLDER_CALL OnWrite(void* context, const void* bytes, std::size_t length) {
  Job* job = static_cast<Job*>(context);
  const char* from = static_cast<const char*>(bytes);
  // Once cancelled, the bytes go nowhere and the next event stops the pack:
  // a failed write would stop it too, but only after the workers had
  // compressed every file still ahead of them.
  if (job->cancelled.load(std::memory_order_relaxed)) return 0;
  while (length > 0) {
    if (job->chunk == nullptr) {
      job->chunk = new (std::nothrow) char[job->chunkSize];
      if (job->chunk == nullptr) {
        job->noMemory = true;
        return 1;
      }
    }
    const std::size_t take = std::min(length, job->chunkSize - job->chunkUsed);
    std::memcpy(job->chunk + job->chunkUsed, from, take);
    job->chunkUsed += take;
    job->streamed += take;
    from += take;
    length -= take;
    if (job->chunkUsed == job->chunkSize && !SendChunk(job)) {
      return job->cancelled.load() && !job->noMemory ? 0 : 1;
    }
  }
  return 0;
}

void Run(Job* job) {
  LowerThisThreadsPriority(job->niceSteps);
  std::int32_t status = CompFilesToZipFileEx(
      job->src.c_str(), job->hasDst ? job->dst.c_str() : nullptr, &job->options);
  // The library wiped its own copy; this one goes too.
  volatile char* secret = job->password.data();
  for (std::size_t i = 0; i < job->password.size(); ++i) secret[i] = 0;
  if (job->stream && status <= ZIPFOLDER_DONE_LEFT_OUT) {
    if (!SendChunk(job)) status = ZIPFOLDER_CANCELLED;
    job->summary.archiveSize = job->streamed;
  }
  // A cancel that the library saw as a failed write is still a cancel, and
  // a stop for want of memory here is the library's own status for it.
  if (status > ZIPFOLDER_DONE_LEFT_OUT) {
    if (job->noMemory)
      status = ZIPFOLDER_NO_MEMORY;
    else if (job->cancelled.load())
      status = ZIPFOLDER_CANCELLED;
  }
  delete[] job->chunk;
  job->chunk = nullptr;
  Message* done = job->done;
  job->done = nullptr;
  done->status = status;
  Post(job, done);
}

}  // namespace

bool JobStart(Job* job) {
  job->done = new Message;
  job->done->type = Message::kDone;
  for (const std::string& name : job->exclude) job->excludeNames.push_back(name.c_str());
  for (const std::string& name : job->include) job->includeNames.push_back(name.c_str());
  ZipFolderOptions& options = job->options;
  options.size = sizeof(ZipFolderOptions);
  options.callback = OnEvent;
  options.context = job;
  options.exclude = job->excludeNames.data();
  options.excludeCount = static_cast<std::uint32_t>(job->excludeNames.size());
  options.include = job->includeNames.data();
  options.includeCount = static_cast<std::uint32_t>(job->includeNames.size());
  options.prefix = job->prefix.empty() ? nullptr : job->prefix.c_str();
  options.storedTypes = job->hasStoredTypes ? job->storedTypes.c_str() : nullptr;
  options.password = job->hasPassword ? job->password.c_str() : nullptr;
  if (job->stream) {
    options.write = OnWrite;
    options.writeContext = job;
  }
  try {
    job->thread = std::thread(Run, job);
  } catch (const std::system_error&) {
    delete job->done;
    job->done = nullptr;
    return false;
  }
  return true;
}

void JobCancel(Job* job) {
  std::lock_guard<std::mutex> hold(job->lock);
  job->cancelled.store(true);
  job->consumed.notify_all();
}

void JobConsumed(Job* job, std::size_t length) {
  std::lock_guard<std::mutex> hold(job->lock);
  job->outstanding -= std::min(length, job->outstanding);
  job->consumed.notify_all();
}

void JobJoin(Job* job) {
  if (job->thread.joinable()) job->thread.join();
}

}  // namespace zfnode
