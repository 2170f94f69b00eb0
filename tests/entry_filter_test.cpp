// The filter stage between an entry's method and the archive, through a toy
// filter that changes everything a real one may change: bytes before, in
// and after the data, the method number, an extra field of its own, the
// CRC written and flag bit 0. The archive is read by Python's zipfile and
// zlib, not by our parser.
#include "zipwriter/entry_filter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "entry/pack_pipeline.h"
#include "platform/platform.h"
#include "support/test_files.h"
#include "zipwriter/headers.h"

namespace {

// Set by any entry whose data came on another thread than its begin's.
struct ToyLog {
  std::atomic<bool> otherThread{false};
};

struct ToyState {
  ToyLog* log;
  std::thread::id thread;
  bool otherThread;
};

std::uint8_t* StoreToyField(const void*, const zf::ZipEntry* entry, std::uint8_t* at) {
  at = zf::Store16(at, 0x9901);
  at = zf::Store16(at, 7);
  at = zf::Store16(at, 2);
  *at++ = 'A';
  *at++ = 'E';
  *at++ = 3;
  return zf::Store16(at, entry->method);
}

void* BeginToy(const void* context, zf::ZipWriter* writer, const zf::ZipEntry*) {
  auto* state = static_cast<ToyState*>(zf::OsAllocate(sizeof(ToyState)));
  if (state == nullptr) {
    writer->failure.code = zf::ErrNoMemory;
    return nullptr;
  }
  auto* log = static_cast<ToyLog*>(const_cast<void*>(context));
  new (state) ToyState{log, std::this_thread::get_id(), false};
  zf::PutBytes(writer, "LED", 3);
  return state;
}

void ToyData(void* opaque, zf::ZipWriter* writer, const std::uint8_t* bytes, std::uint32_t count) {
  auto* state = static_cast<ToyState*>(opaque);
  state->otherThread |= state->thread != std::this_thread::get_id();
  std::uint8_t turned[4096];
  while (count != 0) {
    const std::uint32_t part = count < sizeof turned ? count : sizeof turned;
    for (std::uint32_t i = 0; i < part; ++i) turned[i] = bytes[i] ^ 0x5A;
    zf::PutBytes(writer, turned, part);
    bytes += part;
    count -= part;
  }
}

void EndToy(void* opaque, zf::ZipWriter* writer) {
  auto* state = static_cast<ToyState*>(opaque);
  if (state->otherThread) state->log->otherThread = true;
  zf::PutBytes(writer, "TR", 2);
  zf::OsRelease(state);
}

void ReleaseToy(void* state) { zf::OsRelease(state); }

constexpr zf::EntryFilter kToyFilter{.flagBits = 1,
                                     .replacesMethod = true,
                                     .methodNumber = 99,
                                     .hidesCrc = true,
                                     .keepsDescriptor = false,
                                     .versionNeeded = 51,
                                     .fieldBytes = 11,
                                     .overheadBytes = 5,
                                     .storeField = StoreToyField,
                                     .begin = BeginToy,
                                     .data = ToyData,
                                     .end = EndToy,
                                     .release = ReleaseToy};

// Access times a first read does not move, so that every pack sees the same.
void WriteSettled(const std::string& path, const std::string& bytes) {
  zft::WriteFile(path, bytes);
  const timespec times[2] = {{std::time(nullptr) + 86400, 0}, {1600000000, 0}};
  EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(EntryFilter, EveryByteOfEveryEntryGoesThroughTheFilterAtAnyThreadCount) {
  zft::ScratchDir dir;
  const std::string src = dir.Path("src");
  zft::MakeDirs(src + "/sub");
  std::string text;
  for (int i = 0; text.size() < (5u << 20); ++i)
    text += "line " + std::to_string(std::int64_t{i} * 7919) + "\n";
  WriteSettled(src + "/large.txt", text);  // parsed in segments with helpers
  WriteSettled(src + "/sub/small.txt", "a filtered file\n");
  WriteSettled(src + "/empty.txt", "");
  const std::vector<std::uint8_t> noise = zft::RandomBytes(70000, 3);
  WriteSettled(src + "/noise.gz", {noise.begin(), noise.end()});  // stored
  std::vector<std::uint8_t> first;
  for (const std::uint32_t threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    ToyLog log;
    const std::string zip = dir.Path("out" + std::to_string(threads) + ".zip");
    zf::ZipWriter* writer = nullptr;
    ASSERT_EQ(zf::OpenArchive(zip.c_str(), &writer), zf::ErrNone);
    writer->ownChoices.filter = &kToyFilter;
    writer->ownChoices.filterContext = &log;
    EXPECT_TRUE(zf::AddFolderTree(writer, src.c_str(), src.c_str(), threads, nullptr, zip.c_str()));
    EXPECT_EQ(zf::CloseArchive(writer), zf::ErrNone);
    EXPECT_FALSE(log.otherThread);
    const zft::CommandResult check = zft::RunCommand(
        std::string(ZIPFOLDER_PYTHON) + " " +
        zft::Quote(std::string(ZIPFOLDER_SOURCE_DIR) + "/tests/support/unfilter_check.py") + " " +
        zft::Quote(zip) + " " + zft::Quote(src));
    EXPECT_EQ(check.output, "ok 4\n");
    if (threads == 1) first = zft::ReadFile(zip);
    EXPECT_EQ(zft::ReadFile(zip), first);
  }
}

}  // namespace
