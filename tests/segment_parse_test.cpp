// The parse of a large input in segments joins into the very stream of the
// compressor alone: on inputs built to be hard for the join, at the lazy
// levels, with every segment parsed from its guessed start first (one
// thread takes every path of the join) and with helper threads.
#include "deflate/segment_parse.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "deflate/deflate.h"
#include "deflate/deflate_internal.h"
#include "deflate/piece_parse.h"
#include "support/memory_io.h"
#include "support/test_files.h"
#include "zipwriter/failure.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Helper threads that take the board's turns while it is offered.
struct TestCrew {
  zf::ParseCrew crew{};
  std::mutex mutex;
  std::condition_variable changed;
  zf::SegmentBoard* board = nullptr;
  std::uint64_t offers = 0;
  int inside = 0;
  bool quit = false;
  std::vector<std::thread> threads;

  // Help is at hand from the ask after this many; -1: from the start.
  int helpAfter = -1;
  int asked = 0;

  TestCrew(std::uint32_t helpers, std::uint32_t segmentBytes, bool speculateFirst,
           int helpAfterAsks = -1)
      : helpAfter(helpAfterAsks) {
    crew.context = this;
    crew.offer = [](void* context, zf::SegmentBoard* offered) {
      auto* self = static_cast<TestCrew*>(context);
      const std::lock_guard<std::mutex> hold(self->mutex);
      self->board = offered;
      self->offers += 1;
      self->changed.notify_all();
    };
    crew.wake = [](void* context) {
      auto* self = static_cast<TestCrew*>(context);
      const std::lock_guard<std::mutex> hold(self->mutex);
      if (self->board == nullptr) return;
      self->offers += 1;
      self->changed.notify_all();
    };
    crew.withdraw = [](void* context, zf::SegmentBoard*) {
      auto* self = static_cast<TestCrew*>(context);
      std::unique_lock<std::mutex> hold(self->mutex);
      self->board = nullptr;
      self->changed.wait(hold, [self] { return self->inside == 0; });
    };
    if (helpAfter >= 0) {
      crew.helpAtHand = [](void* context) {
        auto* self = static_cast<TestCrew*>(context);
        return self->asked++ >= self->helpAfter;
      };
    }
    crew.segmentBytes = segmentBytes;
    crew.splitFrom = 1;
    crew.helpers = helpers;
    crew.speculateFirst = speculateFirst;
    for (std::uint32_t i = 0; i < helpers; ++i) threads.emplace_back([this] { Help(); });
  }
  ~TestCrew() {
    {
      const std::lock_guard<std::mutex> hold(mutex);
      quit = true;
      changed.notify_all();
    }
    for (std::thread& thread : threads) thread.join();
  }
  void Help() {
    std::unique_lock<std::mutex> hold(mutex);
    std::uint64_t seen = 0;
    for (;;) {
      changed.wait(hold, [&] { return quit || (board != nullptr && offers != seen); });
      if (quit) return;
      seen = offers;
      zf::SegmentBoard* taken = board;
      inside += 1;
      hold.unlock();
      while (zf::HelpWithSegments(taken)) {
      }
      hold.lock();
      inside -= 1;
      changed.notify_all();
    }
  }
};

// The stream of sent through a state of its own: alone, or in segments with
// crew, whose parses read a file holding parsed.
zft::MemoryStream Pack(const Bytes& sent, std::uint8_t level, TestCrew* crew = nullptr,
                       const Bytes* parsed = nullptr) {
  zft::ScratchDir dir;
  zf::OsFile file = zf::kNoFile;
  if (crew != nullptr) {
    const std::string path = dir.Path("input");
    zft::WriteFile(path, parsed != nullptr ? *parsed : sent);
    file = zf::OsOpenSource(path.c_str());
    EXPECT_NE(file, zf::kNoFile);
  }
  zf::DeflateState* state = zf::AllocateDeflateState();
  const zft::MemoryStream stream =
      zft::DeflateMemory(state, sent, level, crew != nullptr ? &crew->crew : nullptr, file,
                         parsed != nullptr ? parsed->size() : sent.size());
  zf::OsRelease(state);
  zf::OsClose(file);
  return stream;
}

Bytes Inflate(const Bytes& stream, std::size_t expected) {
  Bytes out(expected + 1);
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

// Inputs that make the join hard, each a few segments of 32 KB long.
struct HardInput {
  const char* name;
  Bytes (*make)();
  bool joins;  // the true parse meets the guessed ones
};

Bytes Words(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {"segment ",  "parse ",   "join ",   "window ", "match ",
                                       "deferred ", "literal ", "chain ",  "hash ",   "block ",
                                       "the ",      "of ",      "stream ", "input ",  "\n"};
  std::mt19937 random(seed);
  Bytes bytes;
  while (bytes.size() < size) {
    const char* word = kWords[random() % 15];
    bytes.insert(bytes.end(), word, word + std::strlen(word));
  }
  bytes.resize(size);
  return bytes;
}

Bytes Noise(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

Bytes Periodic(std::size_t size, std::size_t period, std::uint32_t seed) {
  const Bytes unit = Noise(period, seed);
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = unit[i % period];
  return bytes;
}

// Machine-code-like: short repeated records with small changes.
Bytes Records(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes;
  const Bytes base = Noise(24, seed);
  while (bytes.size() < size) {
    Bytes record = base;
    record[random() % 24] = static_cast<std::uint8_t>(random());
    record[random() % 24] = static_cast<std::uint8_t>(random() & 7);
    bytes.insert(bytes.end(), record.begin(), record.begin() + 8 + random() % 17);
  }
  bytes.resize(size);
  return bytes;
}

const HardInput kHardInputs[] = {
    // Runs across every segment start, and a run's end in the warm-up.
    {"runs",
     [] {
       Bytes bytes = Words(300000, 1);
       for (std::size_t start = 32768 - 5000; start < bytes.size(); start += 32768) {
         std::fill(bytes.begin() + static_cast<long>(start),
                   bytes.begin() + static_cast<long>(std::min(bytes.size(), start + 9000)), 0);
       }
       return bytes;
     },
     true},
    {"zeros", [] { return Bytes(400000, 0); }, false},
    {"period 257", [] { return Periodic(300000, 257, 2); }, false},
    {"period 258", [] { return Periodic(300000, 258, 3); }, false},
    {"period 259", [] { return Periodic(300000, 259, 4); }, false},
    {"period 3", [] { return Periodic(300000, 3, 5); }, false},
    // Long matches over segment starts, deferred matches at the joins.
    {"words", [] { return Words(300000, 6); }, true},
    {"records", [] { return Records(300000, 7); }, true},
    {"noise", [] { return Noise(200000, 8); }, false},
    // Text, then noise, then text again: the windows slide in between.
    {"mixed",
     [] {
       Bytes bytes = Words(150000, 9);
       const Bytes noise = Noise(120000, 10);
       bytes.insert(bytes.end(), noise.begin(), noise.end());
       const Bytes tail = Words(170003, 9);
       bytes.insert(bytes.end(), tail.begin(), tail.end());
       return bytes;
     },
     true},
    // The input's end just past the last guessed segment's end.
    {"short tail", [] { return Words(7 * 32768 + 1024 + 3, 11); }, true},
};

TEST(SegmentParse, JoinedStreamIsTheCompressorsAlone) {
  for (const HardInput& hard : kHardInputs) {
    const Bytes input = hard.make();
    for (const std::uint8_t level :
         {std::uint8_t{4}, std::uint8_t{5}, std::uint8_t{6}, std::uint8_t{7}, std::uint8_t{8}}) {
      // Levels 4 to 7 share one finder: one of them shows its races.
      if (zft::kThreadSanitizedBuild && level != 6 && level != 8) continue;
      const zft::MemoryStream alone = Pack(input, level);
      ASSERT_FALSE(alone.failed);
      // One thread: short segments at any alignment, warmed by less than a
      // window near the start; help at hand from the start, from the third
      // segment's end on (the owner parses alone up to there, then moves
      // the true parse onto the board), or never.
      struct Crew {
        std::uint32_t helpers;
        std::uint32_t segment;
        int helpAfter;
      };
      for (const Crew& kind : {Crew{0, 12000, -1}, Crew{0, 12000, 3}, Crew{0, 12000, 1000},
                               Crew{2, 32768, -1}, Crew{2, 32768, 1}}) {
        if (zft::kThreadSanitizedBuild && kind.helpers == 0) continue;
        TestCrew crew(kind.helpers, kind.segment, kind.helpers == 0, kind.helpAfter);
        zf::SegmentCounts counts{};
        crew.crew.counts = &counts;
        const zft::MemoryStream joined = Pack(input, level, &crew);
        ASSERT_EQ(joined.code, zf::ErrNone) << hard.name << " level " << int(level) << " helpers "
                                            << kind.helpers << " after " << kind.helpAfter;
        ASSERT_FALSE(joined.failed) << hard.name;
        ASSERT_TRUE(joined.bytes == alone.bytes)
            << hard.name << " level " << int(level) << " helpers " << kind.helpers << " after "
            << kind.helpAfter;
        // Every guessed parse was met or gone through; one thread guessed
        // every segment it could after the one where help came.
        if (kind.helpers == 0) {
          EXPECT_EQ(counts.joins + counts.dropped, counts.guessed) << hard.name;
          const std::size_t speculable = (input.size() - 1024) / kind.segment;
          const std::size_t aloneSegments =
              kind.helpAfter < 0 ? 1 : std::min<std::size_t>(speculable, kind.helpAfter + 1);
          EXPECT_EQ(counts.guessed, speculable - aloneSegments) << hard.name;
          if (hard.joins && kind.helpAfter < 0) {
            EXPECT_GT(counts.joins, counts.guessed / 2) << hard.name;
          }
        }
      }
      ASSERT_EQ(Inflate(alone.bytes, input.size()), input) << hard.name;
    }
  }
}

// An input of several of the fast levels' pieces of 1 MiB: a long match and
// a run of zeros over their starts, and noise that ends blocks.
Bytes PiecesInput() {
  Bytes input = Words(900000, 13);
  const Bytes noise = Noise(300000, 14);
  input.insert(input.end(), noise.begin(), noise.end());
  input.insert(input.end(), 700000, 0);
  const Bytes tail = Records(500000, 15);
  input.insert(input.end(), tail.begin(), tail.end());
  input.insert(input.end(), input.begin(), input.begin() + 400000);
  return input;
}

// The fast levels split in pieces, at one and more threads.
TEST(SegmentParse, FastPiecesJoinAsTheCompressorAlone) {
  const Bytes input = PiecesInput();
  for (const std::uint8_t level : {std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{3}}) {
    if (zft::kThreadSanitizedBuild && level != 1) continue;
    const zft::MemoryStream alone = Pack(input, level);
    ASSERT_FALSE(alone.failed);
    ASSERT_EQ(Inflate(alone.bytes, input.size()), input) << "level " << int(level);
    // Help at hand from the start, from the third piece on (the owner runs
    // the first two straight through its blocks), or never.
    for (const auto& [helpers, helpAfter] :
         {std::pair{0u, -1}, std::pair{1u, -1}, std::pair{3u, -1}, std::pair{1u, 2},
          std::pair{0u, 1000}}) {
      if (zft::kThreadSanitizedBuild && helpers == 0) continue;
      TestCrew crew(helpers, 12000, false, helpAfter);
      const zft::MemoryStream joined = Pack(input, level, &crew);
      ASSERT_EQ(joined.code, zf::ErrNone) << "level " << int(level) << " helpers " << helpers;
      ASSERT_TRUE(joined.bytes == alone.bytes)
          << "level " << int(level) << " helpers " << helpers << " after " << helpAfter;
    }
  }
  // A piece that is the whole input, short enough to fit the first window:
  // its table as small as the compressor alone makes it.
  const Bytes small = Words(30000, 16);
  for (const std::uint8_t level : {std::uint8_t{1}, std::uint8_t{3}, std::uint8_t{9}}) {
    TestCrew crew(1, 12000, false);
    ASSERT_TRUE(Pack(small, level, &crew).bytes == Pack(small, level).bytes) << int(level);
  }
}

// Level 9 restarts every 8 MiB: two pieces, the second a short one, each
// sent chunk by chunk.
TEST(SegmentParse, BestPiecesJoinAsTheCompressorAlone) {
  const Bytes once = PiecesInput();
  Bytes input = once;
  for (int copy = 0; copy < 2; ++copy) input.insert(input.end(), once.begin(), once.end());
  ASSERT_GT(input.size(), zf::PieceBytes(9));
  const zft::MemoryStream alone = Pack(input, 9);
  ASSERT_FALSE(alone.failed);
  ASSERT_EQ(Inflate(alone.bytes, input.size()), input);
  for (const auto& [helpers, helpAfter] :
       {std::pair{0u, -1}, std::pair{1u, -1}, std::pair{1u, 1}}) {
    if (zft::kThreadSanitizedBuild && (helpers == 0 || helpAfter >= 0)) continue;
    TestCrew crew(helpers, 12000, false, helpAfter);
    const zft::MemoryStream joined = Pack(input, 9, &crew);
    ASSERT_EQ(joined.code, zf::ErrNone) << "level 9 helpers " << helpers;
    ASSERT_TRUE(joined.bytes == alone.bytes)
        << "level 9 helpers " << helpers << " after " << helpAfter;
  }
}

// An input read in order that differs from what the segments read (a file
// changed while it was packed) fails the entry instead of making data that
// differs from its CRC.
TEST(SegmentParse, InputThatChangedIsNoticed) {
  const Bytes parsed = Words(400000, 12);
  struct Change {
    const char* name;
    Bytes (*apply)(Bytes);
  };
  const Change kChanges[] = {
      {"byte",
       [](Bytes b) {
         b[300001] = static_cast<std::uint8_t>(b[300001] ^ 1);
         return b;
       }},
      {"longer",
       [](Bytes b) {
         b.push_back('x');
         return b;
       }},
      {"shorter",
       [](Bytes b) {
         b.resize(b.size() - 1000);
         return b;
       }},
  };
  for (const Change& change : kChanges) {
    // Help from the start, and after the true parse went alone for a while.
    // (Levels 1 and 9 only with help from the start: alone, they parse what
    // they read.)
    for (const int helpAfter : {-1, 2}) {
      for (const std::uint8_t level : {std::uint8_t{8}, std::uint8_t{1}, std::uint8_t{9}}) {
        if (level != 8 && helpAfter >= 0) continue;
        TestCrew crew(1, 32768, false, helpAfter);
        const zft::MemoryStream joined = Pack(change.apply(parsed), level, &crew, &parsed);
        EXPECT_EQ(joined.code, zf::ErrChanged)
            << change.name << " after " << helpAfter << " level " << int(level);
      }
    }
  }
}

}  // namespace
