// Compression is nearly all the time of a pack and files are independent of
// each other, so worker threads compress whole files ahead of the writer,
// each through a writer record of its own whose output is held in memory,
// while the caller's thread walks the folder and writes the finished entries
// strictly in walk order. The archive is the same, byte for byte, for any
// number of threads, and the caller's thread does all output and all calls
// of the caller's events.
//
// Memory stays bounded whatever the tree: the walk runs at most a window of
// jobs ahead of the writer, and output waiting for its turn is held up to a
// budget; beyond it a worker writes the rest of its file's output to a
// scratch file next to the archive (gone once closed), so that big files
// compress in parallel too, or waits when there is none. The file whose turn
// it is streams into the archive as it is compressed, so a wait always ends.
//
// Workers never cost a file that one thread would pack: a worker short of
// memory, a descriptor or spill space hands its file back, and the workers
// stop for good; the caller's thread then adds that file and every later
// one itself, as with one thread, with all the workers' resources let go.
#include "entry/pack_pipeline.h"

#include <cstddef>
#include <cstring>

#include "deflate/segment_parse.h"
#include "zipwriter/entry_list.h"
#include "zipwriter/entry_steps.h"

namespace zf {
namespace {

// Jobs the walk may run ahead of the writer, per worker. While one worker
// compresses a file of megabytes, whose turn it is, the others go on only
// through the jobs of the window: with 16 per worker they ran out of them
// behind the largest headers of /usr/include and waited, where 64 kept
// them busy for the same processor time (docs/performance.md). A job
// waiting costs its record only; held output has its own budget.
constexpr std::uint32_t kJobsPerWorker = 64;
// Finished jobs the writer lets gather before it is woken to write them,
// while the workers have jobs and room enough to go on meanwhile: with
// small files, a wake-up per file costs more than writing it.
constexpr std::uint32_t kDoneBeforeWaking = 8;

struct Chunk {
  Chunk* next;
  std::uint32_t count;
  std::uint8_t bytes[1];
};

enum class Stage : std::int32_t {
  kWaiting,  // no worker has taken it
  kTaken,
  kOpened,  // the entry is built and its data is being compressed
  kDone,    // the worker has finished with it
};

// One file, from the walk to its place in the archive; or a folder or
// link, which needs no worker and is done from the start.
//
// Who touches what. "The monitor" is the pipeline's; the writer's thread
// is the caller's, which walks, places and writes.
struct FileJob {
  // Set by the writer's thread before the job is linked in, read-only after:
  // what it is, and its path and name (at the record's end).
  bool isItem;
  WalkItem item;
  const char* name;  // the tail of path
  // Under the monitor: its place in line (linked in by the writer's thread,
  // read by workers looking for the next job), its stage (workers move it on,
  // the writer's thread marks an item or a job taken back done), and the
  // writer's wishes: abandoned, the writer wants no more of its output; redo,
  // the workers stopped before it was placed and the writer adds it.
  FileJob* next;
  Stage stage;
  bool abandoned;
  bool redo;
  // Under the monitor, written by its worker, read by the writer's thread:
  // the outcome on the worker's side, the entry record once opened, the
  // output held and spilled so far, and the source bytes read.
  Failure outcome;  // brokenBy unused
  // A record of its own until the archive keeps a copy. Its worker fills it
  // until the job is done, but for a stream's entry whose header told its
  // values: those are left alone, since the writer's thread may be writing
  // that header from them from kOpened on. The writer's thread owns it
  // once the job is done.
  ZipEntry* entry;
  Chunk* first;
  Chunk* last;
  std::uint64_t held;       // bytes in the chunks
  std::uint64_t bytesRead;  // source bytes the worker has read so far
  // Output beyond the budget, after the chunks, and how much of it so far.
  // spill and spillId are set under the monitor (IsOwnFile reads them on
  // any thread); the worker alone writes into the file.
  OsFile spill;
  OsFolderId spillId;  // its identity, never to be packed
  std::uint64_t spilled;
  // Its worker's alone: the spill file could not be created; it waits instead.
  bool spillRefused;
  // The writer's thread's alone: spill bytes copied into the archive, and
  // those of them whose disk space was given back.
  std::uint64_t copied;
  std::uint64_t discarded;
  // Written by the worker's OpenEntry before the stage becomes kOpened
  // (under the monitor), read by the writer's thread from then on.
  SourceDetails details;
  char path[1];
};

struct Pipeline;

struct Worker {
  // Set by the writer's thread before the worker's thread starts, read-only
  // after: the pipeline, its writer (an archive of its own whose output goes
  // to the job's chunks and whose choices are the archive writer's), its
  // thread (the writer's thread only joins it), and the crew its writer
  // offers a large file's board through (segment_parse.h).
  Pipeline* pipeline;
  ZipWriter* writer;
  OsThread* thread;
  ParseCrew crew;
  // The worker's thread alone: its job, why the sink refused when it was
  // not the writer's wish, and whether the job's last output is on its way
  // (the writer hears of it with the end).
  FileJob* job;
  std::int32_t failure;
  bool finishing;
  // Under the monitor: the board offered (null: none), the workers inside
  // it, and its place in the list of offering workers.
  SegmentBoard* board;
  std::uint32_t helpersInside;
  Worker* nextOffering;
};

struct Pipeline {
  // Set by the writer's thread before the workers start, read-only after.
  OsMonitor* monitor;
  std::uint64_t budget;
  const char* scratchPath;  // spill files are named after it; null: none
  Worker* workers;
  // The archive's identity: its data never enters the archive.
  OsFolderId archiveId;
  bool archiveKnown;
  // Under the monitor.
  FileJob* oldest;   // the next to be written (the writer's thread moves it)
  FileJob* newest;   // the writer's thread links jobs in behind it
  FileJob* waiting;  // the oldest job no worker has taken
  std::uint64_t held;
  std::uint32_t spillCount;
  std::uint32_t spillsOpen;  // spill files open, never to be packed either
  // Who sleeps on the monitor: a wake-up is sent only when it can matter to
  // a sleeper, since every one costs a switch of threads.
  std::uint32_t workersWaiting;
  std::uint32_t doneCount;  // finished jobs not yet written
  bool writerWaiting;       // for the oldest job, the only one the writer waits on
  bool writerWaitsBehind;   // but for the jobs behind it, while it makes room
  bool stopping;            // no job goes to a worker any more
  bool closing;             // no more jobs come
  Worker* offering;         // workers whose boards want help
  std::uint32_t busy;       // workers with a job
  // Written by the writer's thread only, under the monitor while workers
  // run; workers read it under the monitor, the writer's thread anywhere.
  bool cancelled;
  // Written by the writer's thread only: the workers running, set before the
  // first job is submitted (workers read it under the monitor, only while
  // they have jobs) and 0 once they were joined.
  std::uint32_t started;
  // The writer's thread alone: the archive, the caller's events, the jobs
  // in flight and how many may be, and the source bytes of the entries
  // written.
  ZipWriter* writer;
  const PackEvents* events;
  std::uint32_t inFlight;
  std::uint32_t window;
  std::uint64_t bytesDone;
};

void WaitAsWriter(Pipeline* pipeline) {
  pipeline->writerWaiting = true;
  OsWaitMonitor(pipeline->monitor);
  pipeline->writerWaiting = false;
}

// A worker about to sleep may be waiting for the writer, which may be
// letting finished jobs gather.
void WaitAsWorker(Pipeline* pipeline) {
  if (pipeline->writerWaiting) OsWakeMonitor(pipeline->monitor);
  pipeline->workersWaiting += 1;
  OsWaitMonitor(pipeline->monitor);
  pipeline->workersWaiting -= 1;
}

// A job changed: only the oldest one's changes can end the writer's wait.
void WakeWriter(Pipeline* pipeline, const FileJob* job) {
  if (pipeline->writerWaiting && job == pipeline->oldest) OsWakeMonitor(pipeline->monitor);
}

void NoteJobDone(Pipeline* pipeline, FileJob* job) {
  job->stage = Stage::kDone;
  pipeline->doneCount += 1;
  if (pipeline->writerWaiting &&
      (pipeline->writerWaitsBehind ||
       (pipeline->oldest->stage == Stage::kDone &&
        (pipeline->doneCount >= kDoneBeforeWaking || pipeline->waiting == nullptr)))) {
    OsWakeMonitor(pipeline->monitor);
  }
}

// Jobs were added, output taken or jobs abandoned.
void WakeWorkers(Pipeline* pipeline) {
  if (pipeline->workersWaiting != 0) OsWakeMonitor(pipeline->monitor);
}

// An output failure is the archive's, not a file's: only a file that broke
// a stream is named, since the stream cannot say which.
bool TellsOfFile(std::int32_t code) { return !IsOutputFailure(code) || code == ErrStreamBroken; }

// The call's own files are left out without a word, as the archive is.
void Report(const PackEvents* events, const char* path, std::int32_t code,
            std::int32_t systemError) {
  if (code != ErrOwnFile && events != nullptr && events->fileLeftOut != nullptr) {
    events->fileLeftOut(events->context, path, code, systemError);
  }
}

bool WantFile(const PackEvents* events, const char* path) {
  return events == nullptr || events->fileWanted == nullptr ||
         events->fileWanted(events->context, path);
}

bool StartEntry(const PackEvents* events, const char* name) {
  return events == nullptr || events->entryStarting == nullptr ||
         events->entryStarting(events->context, name);
}

// Asks the caller whether to go on; false once it has said no.
// Stops the workers at their next output and the walk at its next file.
void Cancel(Pipeline* pipeline) {
  if (pipeline->monitor != nullptr) OsEnterMonitor(pipeline->monitor);
  pipeline->cancelled = true;
  if (pipeline->monitor != nullptr) {
    OsWakeMonitor(pipeline->monitor);
    OsLeaveMonitor(pipeline->monitor);
  }
}

bool AskToGoOn(Pipeline* pipeline, std::uint64_t total) {
  const PackEvents* events = pipeline->events;
  if (pipeline->cancelled) return false;
  if (events == nullptr || events->bytesRead == nullptr) return true;
  if (events->bytesRead(events->context, total)) return true;
  Cancel(pipeline);
  return false;
}

void ReleaseChunks(Chunk* chunk) {
  while (chunk != nullptr) {
    Chunk* next = chunk->next;
    OsRelease(chunk);
    chunk = next;
  }
}

// Opens the job's spill file: the archive's path with a number and a tail.
bool StartSpill(Pipeline* pipeline, FileJob* job) {
  static constexpr char kTail[] = ".~part";
  const std::size_t length = std::strlen(pipeline->scratchPath);
  if (length + 16 + sizeof kTail >= kMaxPathBytes) return false;
  char path[kMaxPathBytes];
  std::memcpy(path, pipeline->scratchPath, length);
  for (int attempt = 0; attempt < 16; ++attempt) {
    OsEnterMonitor(pipeline->monitor);
    std::uint32_t number = ++pipeline->spillCount;
    OsLeaveMonitor(pipeline->monitor);
    char* end = path + length;
    *end++ = '.';
    do {
      *end++ = static_cast<char>('0' + number % 10);
      number /= 10;
    } while (number != 0);
    std::memcpy(end, kTail, sizeof kTail);
    const OsFile file = OsCreateScratch(path);
    // A file that cannot be told from a source would be packed itself.
    OsFolderId id;
    if (file != kNoFile && !OsGetFileId(file, &id)) {
      OsClose(file);
      return false;
    }
    if (file != kNoFile) {
      OsEnterMonitor(pipeline->monitor);
      job->spill = file;
      job->spillId = id;
      pipeline->spillsOpen += 1;
      OsLeaveMonitor(pipeline->monitor);
      return true;
    }
  }
  return false;
}

bool SpillOutput(Worker* worker, FileJob* job, const std::uint8_t* data, std::uint32_t count) {
  Pipeline* pipeline = worker->pipeline;
  const bool written = OsWriteAt(job->spill, job->spilled, data, count);
  // No room for it: the file is handed back rather than lost.
  if (!written) worker->failure = ErrGaveWay;
  OsEnterMonitor(pipeline->monitor);
  const bool wanted = !pipeline->cancelled && !job->abandoned;
  if (written && pipeline->cancelled) worker->failure = ErrCancelled;
  if (written) {
    job->spilled += count;
    job->bytesRead = worker->writer->current.bytesRead;
  }
  WakeWriter(pipeline, job);
  OsLeaveMonitor(pipeline->monitor);
  return written && wanted;
}

enum class Route { kWait, kMemory, kSpill, kRefuse };

// The worker writer's sink: the flushed bytes join the job's chunks while
// the budget (or, for the job being written, the run ahead) has room, else
// its spill file.
bool HoldOutput(void* context, const std::uint8_t* data, std::uint32_t count) {
  auto* worker = static_cast<Worker*>(context);
  Pipeline* pipeline = worker->pipeline;
  FileJob* job = worker->job;
  if (job->spill != kNoFile) return SpillOutput(worker, job, data, count);
  auto* chunk = static_cast<Chunk*>(OsAllocate(offsetof(Chunk, bytes) + count));
  if (chunk == nullptr) {
    worker->failure = ErrGaveWay;
    return false;
  }
  chunk->next = nullptr;
  chunk->count = count;
  std::memcpy(chunk->bytes, data, count);
  for (;;) {
    OsEnterMonitor(pipeline->monitor);
    Route route = Route::kWait;
    while (route == Route::kWait) {
      const bool head = job == pipeline->oldest;
      if (pipeline->cancelled || job->abandoned) {
        route = Route::kRefuse;
      } else if (head ? job->held < pipeline->budget / 16 : pipeline->held < pipeline->budget) {
        route = Route::kMemory;
      } else if (!head && pipeline->scratchPath != nullptr && !job->spillRefused) {
        route = Route::kSpill;
      } else {
        WaitAsWorker(pipeline);
      }
    }
    if (route == Route::kMemory) {
      if (job->last == nullptr) {
        job->first = chunk;
      } else {
        job->last->next = chunk;
      }
      job->last = chunk;
      job->held += count;
      pipeline->held += count;
      job->bytesRead = worker->writer->current.bytesRead;
      if (!worker->finishing) WakeWriter(pipeline, job);
    }
    OsLeaveMonitor(pipeline->monitor);
    if (route == Route::kMemory) return true;
    if (route == Route::kSpill && StartSpill(pipeline, job)) {
      OsRelease(chunk);
      return SpillOutput(worker, job, data, count);
    }
    if (route == Route::kRefuse) {
      OsRelease(chunk);
      // A cancel is no failed write: the entry goes, the archive stays.
      if (pipeline->cancelled) worker->failure = ErrCancelled;
      return false;
    }
    job->spillRefused = true;
  }
}

// What a worker cannot do for want of memory or descriptors, one thread
// may well do: the file is handed back to the writer's thread.
std::int32_t GiveWayOnShortage(std::int32_t code, std::int32_t systemError) {
  const bool shortage =
      code == ErrNoMemory || ((code == ErrOpen || code == ErrRead) && OsIsShortage(systemError));
  return shortage ? ErrGaveWay : code;
}

// Opens and compresses one job's file, the monitor not held; the outcome.
std::int32_t CompressJob(Worker* worker, FileJob* job, bool wanted) {
  Pipeline* pipeline = worker->pipeline;
  ZipWriter* writer = worker->writer;
  writer->failure.code = ErrNone;
  writer->position = 0;
  writer->outFill = 0;
  ZipEntry* entry = nullptr;
  const std::int32_t opened =
      wanted ? OpenEntry(writer, job->path, job->name, &job->details, AllocateEntry, &entry)
             : ErrWrite;
  const std::int32_t code = GiveWayOnShortage(opened, writer->failure.systemError);
  OsEnterMonitor(pipeline->monitor);
  job->entry = entry;
  job->outcome.code = code;
  job->outcome.systemError = writer->failure.systemError;
  // The writer is not woken for this: it has nothing to do before the
  // first output or the end, and each of those wakes it.
  if (code == ErrNone) job->stage = Stage::kOpened;
  OsLeaveMonitor(pipeline->monitor);
  if (code != ErrNone) return code;
  worker->failure = ErrNone;
  worker->finishing = false;
  CompressSource(writer, entry);
  worker->finishing = true;
  FlushOutput(writer);
  return worker->failure != ErrNone
             ? worker->failure
             : GiveWayOnShortage(writer->failure.code, writer->failure.systemError);
}

// The first file job from job on; items are never taken.
FileJob* FirstToTake(FileJob* job) {
  while (job != nullptr && job->isItem) job = job->next;
  return job;
}

// Another worker whose board has a turn this one may take; null: none.
Worker* BoardToHelp(Pipeline* pipeline) {
  for (Worker* owner = pipeline->offering; owner != nullptr; owner = owner->nextOffering) {
    if (SegmentWorkWaiting(owner->board)) return owner;
  }
  return nullptr;
}

// Takes the turns of owner's board while it has any; the monitor is held
// on entry and on return.
void HelpOwner(Pipeline* pipeline, Worker* owner) {
  SegmentBoard* board = owner->board;
  owner->helpersInside += 1;
  OsLeaveMonitor(pipeline->monitor);
  while (HelpWithSegments(board)) {
  }
  OsEnterMonitor(pipeline->monitor);
  owner->helpersInside -= 1;
  // The owner may be waiting for its helpers to leave.
  if (owner->helpersInside == 0 && owner->board == nullptr) OsWakeMonitor(pipeline->monitor);
}

void RunWorker(void* context) {
  auto* worker = static_cast<Worker*>(context);
  Pipeline* pipeline = worker->pipeline;
  OsEnterMonitor(pipeline->monitor);
  for (;;) {
    // A waiting job first: files apart cost nothing to join. Without one,
    // another worker's large file. Once no more jobs come, a worker stays
    // while another one's job may still offer it a board.
    Worker* owner = nullptr;
    while (pipeline->waiting == nullptr && !(pipeline->closing && pipeline->busy == 0) &&
           (owner = BoardToHelp(pipeline)) == nullptr) {
      WaitAsWorker(pipeline);
    }
    if (pipeline->waiting == nullptr && owner != nullptr) {
      HelpOwner(pipeline, owner);
      continue;
    }
    FileJob* job = pipeline->waiting;
    if (job == nullptr) break;
    pipeline->waiting = FirstToTake(job->next);
    job->stage = Stage::kTaken;
    pipeline->busy += 1;
    const bool wanted = !pipeline->cancelled && !job->abandoned;
    OsLeaveMonitor(pipeline->monitor);
    worker->job = job;
    const std::int32_t code = CompressJob(worker, job, wanted);
    OsEnterMonitor(pipeline->monitor);
    job->outcome.code = code;
    job->outcome.systemError = worker->writer->failure.systemError;
    job->bytesRead = worker->writer->current.bytesRead;
    pipeline->busy -= 1;
    if (pipeline->closing && pipeline->busy == 0) WakeWorkers(pipeline);
    NoteJobDone(pipeline, job);
  }
  OsLeaveMonitor(pipeline->monitor);
}

// The crew of a worker's writer: its board is offered to the others.
void OfferBoard(void* context, SegmentBoard* board) {
  auto* worker = static_cast<Worker*>(context);
  Pipeline* pipeline = worker->pipeline;
  OsEnterMonitor(pipeline->monitor);
  worker->board = board;
  worker->nextOffering = pipeline->offering;
  pipeline->offering = worker;
  WakeWorkers(pipeline);
  OsLeaveMonitor(pipeline->monitor);
}

// A worker is free to help: no job waits to be taken, and not every
// worker has one.
bool HelpAtHandForBoard(void* context) {
  Pipeline* pipeline = static_cast<Worker*>(context)->pipeline;
  OsEnterMonitor(pipeline->monitor);
  const bool free = pipeline->waiting == nullptr && pipeline->busy < pipeline->started;
  OsLeaveMonitor(pipeline->monitor);
  return free;
}

void WakeForBoard(void* context) {
  Pipeline* pipeline = static_cast<Worker*>(context)->pipeline;
  OsEnterMonitor(pipeline->monitor);
  WakeWorkers(pipeline);
  OsLeaveMonitor(pipeline->monitor);
}

void WithdrawBoard(void* context, SegmentBoard*) {
  auto* worker = static_cast<Worker*>(context);
  Pipeline* pipeline = worker->pipeline;
  OsEnterMonitor(pipeline->monitor);
  for (Worker** at = &pipeline->offering; *at != nullptr; at = &(*at)->nextOffering) {
    if (*at == worker) {
      *at = worker->nextOffering;
      break;
    }
  }
  worker->board = nullptr;
  while (worker->helpersInside != 0) OsWaitMonitor(pipeline->monitor);
  OsLeaveMonitor(pipeline->monitor);
}

ZipWriter* CreateWorkerWriter(Worker* worker, const ZipWriter* archive) {
  ZipWriter* writer = nullptr;
  if (OpenArchiveOn(FunctionSink(HoldOutput, worker), &writer) != ErrNone) return nullptr;
  // Its entries take the archive's form, whatever its own sink is, and the
  // call's choices, which are the archive writer's own record.
  writer->flags = (writer->flags & ~kDataDescriptors) | (archive->flags & kDataDescriptors);
  writer->choices = archive->choices;
  writer->current.parseCrew = &worker->crew;
  return writer;
}

void ReleaseWorkerWriter(ZipWriter* writer) {
  if (writer == nullptr) return;
  OsRelease(writer->current.deflater);
  OsRelease(writer);
}

// Copies the output of the job being written into the archive as it comes:
// its chunks, then what it spilled. The job's outcome once it is done; a
// spill file that cannot be read back hands the file back.
std::int32_t CopyJobOutput(Pipeline* pipeline, FileJob* job) {
  ZipWriter* writer = pipeline->writer;
  std::uint64_t& copied = job->copied;
  bool spillLost = false;
  for (;;) {
    OsEnterMonitor(pipeline->monitor);
    while (job->stage != Stage::kDone &&
           (spillLost || (job->first == nullptr && job->spilled == copied))) {
      WaitAsWriter(pipeline);
    }
    Chunk* chain = job->first;
    job->first = nullptr;
    job->last = nullptr;
    pipeline->held -= job->held;
    job->held = 0;
    const bool done = job->stage == Stage::kDone;
    const std::int32_t code = job->outcome.code;
    const std::uint64_t bytesRead = job->bytesRead;
    const std::uint64_t spilled = job->spilled;
    const OsFile spill = job->spill;
    // After a failed write no more of it can be used.
    if (writer->failure.code != ErrNone || spillLost) job->abandoned = true;
    WakeWorkers(pipeline);
    OsLeaveMonitor(pipeline->monitor);
    for (Chunk* chunk = chain; chunk != nullptr && !spillLost; chunk = chunk->next) {
      PutBytes(writer, chunk->bytes, chunk->count);
    }
    ReleaseChunks(chain);
    while (copied < spilled && writer->failure.code == ErrNone && !spillLost) {
      const auto count = static_cast<std::uint32_t>(
          spilled - copied < kBufferBytes ? spilled - copied : kBufferBytes);
      std::uint32_t got = 0;
      spillLost = !OsReadAt(spill, copied, writer->buffer, count, &got) || got != count;
      if (!spillLost) PutBytes(writer, writer->buffer, count);
      copied += count;
    }
    if (done) return spillLost ? ErrGaveWay : code;
    AskToGoOn(pipeline, pipeline->bytesDone + bytesRead);
  }
}

// The entry just kept: the bytes read so far include it when it is told of.
void TellAdded(Pipeline* pipeline) {
  pipeline->bytesDone += pipeline->writer->lastKept->size;
  AskToGoOn(pipeline, pipeline->bytesDone);
  const PackEvents* events = pipeline->events;
  if (events != nullptr && events->entryAdded != nullptr) {
    events->entryAdded(events->context, pipeline->writer->lastKept);
  }
}

std::int32_t AddItem(Pipeline* pipeline, const char* path, const char* name, WalkItem item) {
  const std::int32_t code = item == WalkItem::kFolder ? AddFolderEntry(pipeline->writer, path, name)
                                                      : AddLinkEntry(pipeline->writer, path, name);
  if (code == ErrNone) TellAdded(pipeline);
  return code;
}

// Lets go of what a job holds of the workers' making.
// The job is no worker's any more; the monitor is not held.
void ReleaseJobOutput(Pipeline* pipeline, FileJob* job) {
  OsEnterMonitor(pipeline->monitor);
  Chunk* chain = job->first;
  job->first = nullptr;
  job->last = nullptr;
  pipeline->held -= job->held;
  job->held = 0;
  const OsFile spill = job->spill;
  job->spill = kNoFile;
  if (spill != kNoFile) pipeline->spillsOpen -= 1;
  OsLeaveMonitor(pipeline->monitor);
  ReleaseChunks(chain);
  OsClose(spill);
  OsRelease(job->entry);
  job->entry = nullptr;
}

// The jobs from first on, which no worker has any more, become the
// writer's to add: what the workers made of them is let go.
void TakeBack(Pipeline* pipeline, FileJob* first) {
  for (FileJob* job = first; job != nullptr; job = job->next) {
    ReleaseJobOutput(pipeline, job);
    OsEnterMonitor(pipeline->monitor);
    if (job->stage != Stage::kDone) {
      job->stage = Stage::kDone;
      pipeline->doneCount += 1;
    }
    OsLeaveMonitor(pipeline->monitor);
  }
}

void StopWorkers(Pipeline* pipeline) {
  OsEnterMonitor(pipeline->monitor);
  pipeline->closing = true;
  OsWakeMonitor(pipeline->monitor);
  OsLeaveMonitor(pipeline->monitor);
  for (std::uint32_t i = 0; i < pipeline->started; ++i) {
    OsJoinThread(pipeline->workers[i].thread);
    ReleaseWorkerWriter(pipeline->workers[i].writer);
  }
  pipeline->started = 0;
}

// Something was short of memory, descriptors or disk space: the workers
// stop for good and let go of all they hold, and the writer's thread adds
// the jobs from first on itself, and every file after them. Called with no
// job of first's on the way into the archive.
void StopParallel(Pipeline* pipeline, FileJob* first) {
  if (pipeline->started == 0) return;
  OsEnterMonitor(pipeline->monitor);
  for (FileJob* job = first; job != nullptr; job = job->next) {
    job->abandoned = true;
    job->redo = true;
  }
  pipeline->waiting = nullptr;
  OsLeaveMonitor(pipeline->monitor);
  StopWorkers(pipeline);
  TakeBack(pipeline, first);
}

// The archive's disk is full while the oldest job is written: the jobs
// behind it give up their spill files and are added by the writer's thread
// later, no job goes to a worker any more, and the oldest job's spill file
// gives back what was copied of it. True when room was made.
bool MakeRoomOnDisk(void* context) {
  auto* pipeline = static_cast<Pipeline*>(context);
  FileJob* oldest = pipeline->oldest;
  if (pipeline->started == 0 || oldest == nullptr) return false;
  bool freed = false;
  OsEnterMonitor(pipeline->monitor);
  pipeline->stopping = true;
  pipeline->waiting = nullptr;
  for (FileJob* job = oldest->next; job != nullptr; job = job->next) {
    job->abandoned = true;
    job->redo = true;
  }
  WakeWorkers(pipeline);
  pipeline->writerWaitsBehind = true;
  for (FileJob* job = oldest->next; job != nullptr; job = job->next) {
    while (job->stage == Stage::kTaken || job->stage == Stage::kOpened) WaitAsWriter(pipeline);
    freed = freed || job->spill != kNoFile;
  }
  pipeline->writerWaitsBehind = false;
  OsLeaveMonitor(pipeline->monitor);
  TakeBack(pipeline, oldest->next);
  if (oldest->copied > oldest->discarded && OsDiscardStart(oldest->spill, oldest->copied)) {
    oldest->discarded = oldest->copied;
    freed = true;
  }
  return freed;
}

// What the writer's thread does with a file a worker had, once the worker
// is done with it or its output was copied.
enum class NextStep {
  kPlace,           // its output goes into the archive (or went: it is kept)
  kAddAgain,        // the writer's thread adds the file itself, from its start
  kAddAgainStored,  // the same, stored
  kAddAlone,        // the same, with the workers stopped for good first
  kLeaveOut,        // it is left out, and told of when the failure is the file's
};

// The one place where what befell a file decides what comes next. A worker
// cannot read a file again once its output is gone, nor take back a header
// reserved too short: the writer's thread can.
NextStep NextStepFor(std::int32_t code) {
  switch (code) {
    case ErrNone:
      return NextStep::kPlace;
    case ErrChanged:   // cut while read: read again whole, at its new size
    case ErrTooLarge:  // needed the ZIP64 field after its header was reserved
      return NextStep::kAddAgain;
    case ErrNotSmaller:  // stored, as one thread stores it
      return NextStep::kAddAgainStored;
    case ErrGaveWay:  // one thread may well do what a worker could not
      return NextStep::kAddAlone;
    default:
      return NextStep::kLeaveOut;
  }
}

bool AddsAgain(NextStep step) {
  return step == NextStep::kAddAgain || step == NextStep::kAddAgainStored ||
         step == NextStep::kAddAlone;
}

// Writes the oldest job into the archive, or leaves it out, and lets it go.
void PlaceOldest(Pipeline* pipeline) {
  ZipWriter* writer = pipeline->writer;
  FileJob* job = pipeline->oldest;
  if (!pipeline->cancelled && !IsOutputFailure(writer->failure.code) &&
      !StartEntry(pipeline->events, job->name)) {
    Cancel(pipeline);
  }
  OsEnterMonitor(pipeline->monitor);
  const bool lost = pipeline->cancelled || IsOutputFailure(writer->failure.code);
  if (lost) {
    job->abandoned = true;
    WakeWorkers(pipeline);
  }
  while (job->stage != Stage::kDone && (job->abandoned || job->stage != Stage::kOpened)) {
    WaitAsWriter(pipeline);
  }
  const bool complete = job->stage == Stage::kDone;
  // Workers stopped before it was placed: what they made of it is gone.
  std::int32_t code = job->redo ? ErrGaveWay : job->outcome.code;
  std::int32_t systemError = job->outcome.systemError;
  OsLeaveMonitor(pipeline->monitor);

  const bool dropped = lost || (job->abandoned && !job->redo);
  // A file still being compressed streams in; its end decides.
  NextStep step = complete || job->redo ? NextStepFor(code) : NextStep::kPlace;
  bool placed = false;  // its bytes went into the archive, so it may have broken a stream
  if (dropped) {
    code = writer->failure.code;
    step = NextStep::kLeaveOut;
  } else if (job->isItem) {
    code = AddItem(pipeline, job->path, job->name, job->item);
    systemError = writer->failure.systemError;
    step = NextStep::kLeaveOut;
  } else if (step == NextStep::kPlace) {
    placed = true;
    BeginCopiedEntry(writer, job->entry, job->details, complete);
    const std::int32_t compressed = CopyJobOutput(pipeline, job);
    OsEnterMonitor(pipeline->monitor);
    systemError = job->outcome.systemError;
    OsLeaveMonitor(pipeline->monitor);
    code = EndCopiedEntry(writer, job->entry, job->details, compressed, complete);
    // Short of memory for the entry's record while workers hold theirs.
    if (code == ErrNoMemory && pipeline->started != 0) code = ErrGaveWay;
    step = NextStepFor(code);
    if (code == ErrNone) TellAdded(pipeline);
  }
  if (AddsAgain(step) && !pipeline->cancelled && !IsOutputFailure(writer->failure.code)) {
    if (step == NextStep::kAddAlone) StopParallel(pipeline, job->next);
    ReleaseJobOutput(pipeline, job);
    writer->current.storeNext = step == NextStep::kAddAgainStored;
    code = AddEntry(writer, job->path, job->name);
    writer->current.storeNext = false;
    placed = true;
    systemError = writer->failure.systemError;
    if (code == ErrNone) TellAdded(pipeline);
  }
  if (code != ErrNone && code != ErrCancelled && !pipeline->cancelled &&
      (placed ? TellsOfFile(code) : !IsOutputFailure(code))) {
    Report(pipeline->events, job->path, code, systemError);
  }
  AskToGoOn(pipeline, pipeline->bytesDone);

  OsEnterMonitor(pipeline->monitor);
  pipeline->oldest = job->next;
  if (pipeline->oldest == nullptr) pipeline->newest = nullptr;
  pipeline->inFlight -= 1;
  pipeline->doneCount -= 1;
  WakeWorkers(pipeline);
  OsLeaveMonitor(pipeline->monitor);
  ReleaseJobOutput(pipeline, job);
  OsRelease(job);
}

void PlaceAll(Pipeline* pipeline) {
  while (pipeline->inFlight != 0) PlaceOldest(pipeline);
}

// Without workers: each file or item is added where the walk meets it.
bool AddNow(Pipeline* pipeline, const char* path, const char* name, bool isItem, WalkItem item) {
  if (!StartEntry(pipeline->events, name)) {
    Cancel(pipeline);
    return false;
  }
  ZipWriter* writer = pipeline->writer;
  std::int32_t code;
  if (isItem) {
    code = AddItem(pipeline, path, name, item);
  } else {
    code = AddEntry(writer, path, name);
    if (code == ErrNone) TellAdded(pipeline);
  }
  if (code != ErrNone && TellsOfFile(code) && code != ErrCancelled) {
    Report(pipeline->events, path, code, writer->failure.systemError);
  }
  // After a failed write the archive is lost: walking on gains nothing.
  return AskToGoOn(pipeline, pipeline->bytesDone) && !IsOutputFailure(writer->failure.code);
}

// A job for the walk's next file or item, at the end of the line.
bool Submit(Pipeline* pipeline, const char* path, const char* name, bool isItem, WalkItem item) {
  const std::size_t pathLength = std::strlen(path);
  auto* job = pipeline->started == 0 || pipeline->stopping
                  ? nullptr
                  : static_cast<FileJob*>(OsAllocate(offsetof(FileJob, path) + pathLength + 1));
  if (job == nullptr) {
    // No room for the job, or the workers stopped: the files in flight are
    // placed, and this one follows them from here.
    StopParallel(pipeline, pipeline->oldest);
    PlaceAll(pipeline);
    return !pipeline->cancelled && AddNow(pipeline, path, name, isItem, item);
  }
  std::memset(job, 0, offsetof(FileJob, path));
  std::memcpy(job->path, path, pathLength + 1);
  job->name = job->path + (name - path);
  job->spill = kNoFile;
  job->isItem = isItem;
  job->item = item;
  OsEnterMonitor(pipeline->monitor);
  if (pipeline->newest == nullptr) {
    pipeline->oldest = job;
  } else {
    pipeline->newest->next = job;
  }
  pipeline->newest = job;
  if (isItem) {
    job->stage = Stage::kDone;
    pipeline->doneCount += 1;
  } else if (pipeline->waiting == nullptr) {
    pipeline->waiting = job;
  }
  pipeline->inFlight += 1;
  WakeWorkers(pipeline);
  OsLeaveMonitor(pipeline->monitor);
  while (pipeline->inFlight >= pipeline->window) PlaceOldest(pipeline);
  // After a failed write the archive is lost: walking on gains nothing.
  return !pipeline->cancelled && !IsOutputFailure(pipeline->writer->failure.code);
}

bool SubmitFile(void* context, const char* path, const char* name) {
  auto* pipeline = static_cast<Pipeline*>(context);
  if (!WantFile(pipeline->events, path)) return true;
  return Submit(pipeline, path, name, false, WalkItem::kFolder);
}

bool SubmitItem(void* context, const char* path, const char* name, WalkItem item) {
  return Submit(static_cast<Pipeline*>(context), path, name, true, item);
}

// The walk could not list a folder for want of descriptors or memory: the
// workers let go of theirs, and it tries again.
bool MakeRoom(void* context) {
  auto* pipeline = static_cast<Pipeline*>(context);
  if (pipeline->started == 0) return false;
  StopParallel(pipeline, pipeline->oldest);
  return true;
}

bool AddFile(void* context, const char* path, const char* name) {
  auto* pipeline = static_cast<Pipeline*>(context);
  if (!WantFile(pipeline->events, path)) return true;
  return AddNow(pipeline, path, name, false, WalkItem::kFolder);
}

bool AddItemNow(void* context, const char* path, const char* name, WalkItem item) {
  return AddNow(static_cast<Pipeline*>(context), path, name, true, item);
}

void Excluded(void* context, const char* path) {
  const PackEvents* events = static_cast<Pipeline*>(context)->events;
  if (events != nullptr && events->excluded != nullptr) events->excluded(events->context, path);
}

void PassOver(void* context, const char* path, WalkSkip why) {
  const PackEvents* events = static_cast<Pipeline*>(context)->events;
  if (events != nullptr && events->passedOver != nullptr) {
    events->passedOver(events->context, path, why);
  }
}

// Starts up to count workers; the number started.
std::uint32_t StartWorkers(Pipeline* pipeline, Worker* workers, std::uint32_t count) {
  std::uint32_t started = 0;
  for (; started < count; ++started) {
    Worker& worker = workers[started];
    worker = Worker{.pipeline = pipeline,
                    .writer = nullptr,
                    .thread = nullptr,
                    .crew = {},
                    .job = nullptr,
                    .failure = ErrNone,
                    .finishing = false,
                    .board = nullptr,
                    .helpersInside = 0,
                    .nextOffering = nullptr};
    worker.crew.context = &worker;
    worker.crew.offer = OfferBoard;
    worker.crew.wake = WakeForBoard;
    worker.crew.withdraw = WithdrawBoard;
    worker.crew.helpAtHand = HelpAtHandForBoard;
    worker.crew.helpers = count - 1;
    worker.writer = CreateWorkerWriter(&worker, pipeline->writer);
    if (worker.writer != nullptr) worker.thread = OsStartThread(RunWorker, &worker);
    if (worker.thread == nullptr) {
      ReleaseWorkerWriter(worker.writer);
      break;
    }
  }
  return started;
}

bool SameId(const OsFolderId& a, const OsFolderId& b) {
  return a.volume == b.volume && a.index == b.index;
}

// The archive, or a spill file open now. The jobs are looked through only
// while some spill file is open, which few packs ever have.
bool IsOwnFile(void* context, const OsFolderId& id) {
  auto* pipeline = static_cast<Pipeline*>(context);
  if (pipeline->archiveKnown && SameId(id, pipeline->archiveId)) return true;
  if (pipeline->monitor == nullptr) return false;
  bool own = false;
  OsEnterMonitor(pipeline->monitor);
  if (pipeline->spillsOpen != 0) {
    for (const FileJob* job = pipeline->oldest; job != nullptr && !own; job = job->next) {
      own = job->spill != kNoFile && SameId(id, job->spillId);
    }
  }
  OsLeaveMonitor(pipeline->monitor);
  return own;
}

}  // namespace

std::uint32_t WorkerCount(std::uint32_t asked) {
  const std::uint32_t processors = OsProcessorCount();
  const std::uint32_t most = processors < kMostWorkers ? processors : kMostWorkers;
  return asked < most ? asked : most;
}

bool AddFolderTree(ZipWriter* writer, const char* folder, const char* root, std::uint32_t threads,
                   const PackEvents* events, const char* scratchPath, std::uint64_t budget,
                   const WalkRules* rules) {
  Pipeline pipeline{};
  pipeline.budget = budget;
  pipeline.scratchPath = scratchPath;
  pipeline.writer = writer;
  pipeline.events = events;
  pipeline.archiveKnown =
      writer->sink.file != kNoFile && OsGetFileId(writer->sink.file, &pipeline.archiveId);
  writer->ownChoices.isOwnFile = IsOwnFile;
  writer->ownChoices.ownFileContext = &pipeline;
  if (threads >= 2) {
    pipeline.monitor = OsCreateMonitor();
    pipeline.workers = static_cast<Worker*>(OsAllocate(sizeof(Worker) * threads));
    if (pipeline.monitor != nullptr && pipeline.workers != nullptr) {
      pipeline.started = StartWorkers(&pipeline, pipeline.workers, threads);
    }
  }
  if (pipeline.started == 0) {
    WalkFolder(WalkVisitor{&pipeline, AddFile, PassOver, AddItemNow, Excluded}, folder, root,
               rules);
  } else {
    pipeline.window = kJobsPerWorker * pipeline.started;
    writer->makeRoom = MakeRoomOnDisk;
    writer->makeRoomContext = &pipeline;
    WalkFolder(WalkVisitor{&pipeline, SubmitFile, PassOver, SubmitItem, Excluded, MakeRoom}, folder,
               root, rules);
    PlaceAll(&pipeline);
    StopWorkers(&pipeline);
    writer->makeRoom = nullptr;
  }
  writer->ownChoices.isOwnFile = nullptr;
  writer->ownChoices.ownFileContext = nullptr;
  OsRelease(pipeline.workers);
  OsDestroyMonitor(pipeline.monitor);
  return !pipeline.cancelled;
}

}  // namespace zf
