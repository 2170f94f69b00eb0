// Fuzz target: the input is cut into several entries that are deflated one
// after another on one writer, so the compressor state is reused between
// entries exactly as in an archive; zlib must inflate each entry back to its
// bytes, and the CRC and byte counts must agree.
//
// Input: repeated [length low, length high, repeat] headers, each followed by
// up to length bytes. A repeat byte from 240 on writes the piece 2^(repeat -
// 238) times in a row, which reaches past the window cheaply; below it the
// piece is written once, so that most inputs stay small and fast. The fourth
// entry takes the rest of the input: each entry costs a set-up, and four show
// the reuse of the state as well as forty. The input's length modulo 10
// picks the level of all its entries (0: the default, 8), so that every
// corpus file runs at some level and a mutation that grows it runs another.
//
// With ZIPFOLDER_FUZZ_SEGMENTS set, the target checks the parse in segments
// instead: the first piece (up to 64 KB once repeated) is compressed alone
// and in segments of 1,024 to 8,192 bytes (an eighth of the piece at
// least), every one parsed from its guessed start before the true parse
// goes on, at a lazy level (4 to 8; level 9 is never split), the true
// parse alone for up to three segments first, or at a fast level (1 to 3)
// through its board of pieces (one piece at this size); both streams must
// be the same bytes.
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "deflate/deflate.h"
#include "deflate/deflate_internal.h"
#include "deflate/segment_parse.h"
#include "support/memory_io.h"
#include "zipwriter/entry_methods.h"

namespace {

// Three times the window: enough to slide it, small enough to stay fast.
constexpr std::size_t kLargestEntry = 3 << 16;
constexpr int kMostEntries = 4;

void Require(bool condition) {
  if (!condition) std::abort();
}

std::vector<std::uint8_t> ReadAll(int fd) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
  Require(pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
  return bytes;
}

std::vector<std::uint8_t> Inflate(const std::vector<std::uint8_t>& packed, std::size_t expected) {
  std::vector<std::uint8_t> out(expected + 1);
  z_stream z{};
  Require(inflateInit2(&z, -15) == Z_OK);
  z.next_in = const_cast<Bytef*>(packed.data());
  z.avail_in = static_cast<uInt>(packed.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  Require(inflate(&z, Z_FINISH) == Z_STREAM_END);
  Require(z.avail_in == 0);  // nothing after the final block
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

void DeflateAndCheck(zf::ZipWriter* writer, const std::vector<std::uint8_t>& piece) {
  const int source = static_cast<int>(writer->current.source);
  const int output = static_cast<int>(writer->sink.file);
  Require(ftruncate(source, 0) == 0 && ftruncate(output, 0) == 0);
  Require(pwrite(source, piece.data(), piece.size(), 0) == static_cast<ssize_t>(piece.size()));
  lseek(source, 0, SEEK_SET);
  lseek(output, 0, SEEK_SET);
  writer->position = 0;
  writer->current.bytesRead = 0;
  writer->current.compressedSize = 0;
  writer->current.crc = 0;
  writer->current.sourceSize = static_cast<std::uint32_t>(piece.size());
  zf::ZipEntry entry{};
  zf::DeflateEntry(&entry, writer);
  zf::FlushOutput(writer);
  Require(writer->failure.code == zf::ErrNone);
  Require(writer->current.bytesRead == piece.size());
  Require(writer->current.crc == crc32(0, piece.data(), static_cast<uInt>(piece.size())));
  const auto packed = ReadAll(output);
  Require(packed.size() == writer->current.compressedSize);
  Require(Inflate(packed, piece.size()) == piece);
}

// One stream of piece through state, alone or in segments with crew.
std::vector<std::uint8_t> Stream(zf::DeflateState* state, const std::vector<std::uint8_t>& piece,
                                 std::uint8_t level, const zf::ParseCrew* crew, int file) {
  const zft::MemoryStream stream =
      zft::DeflateMemory(state, piece, level, crew, file, piece.size());
  Require(stream.code == zf::ErrNone && !stream.failed);
  return stream.bytes;
}

void CheckSegments(const std::uint8_t* data, std::size_t size, int file) {
  std::size_t at = 0;
  std::size_t length = size;
  std::size_t repeat = 1;
  if (size >= 3) {
    length = std::min<std::size_t>(data[0] | std::size_t{data[1]} << 8, size - 3);
    repeat = data[2] < 240 ? 1 : std::size_t{1} << (data[2] - 238);
    at = 3;
  }
  std::vector<std::uint8_t> piece;
  constexpr std::size_t kLargestPiece = 64 << 10;
  for (std::size_t r = 0; r < repeat && piece.size() + length <= kLargestPiece; ++r) {
    piece.insert(piece.end(), data + at, data + at + length);
  }
  Require(ftruncate(file, 0) == 0);
  Require(pwrite(file, piece.data(), piece.size(), 0) == static_cast<ssize_t>(piece.size()));
  zf::ParseCrew crew{};
  crew.offer = [](void*, zf::SegmentBoard*) {};
  crew.wake = [](void*) {};
  crew.withdraw = [](void*, zf::SegmentBoard*) {};
  // Help is at hand from the start, or from the ask after one to three
  // (the owner's thread parses alone up to there).
  struct Asks {
    std::size_t asked;
    std::size_t helpAfter;
  } asks{0, (size / 4) % 4};
  if (asks.helpAfter != 0) {
    crew.context = &asks;
    crew.helpAtHand = [](void* context) {
      auto* self = static_cast<Asks*>(context);
      return self->asked++ >= self->helpAfter;
    };
  }
  crew.segmentBytes = std::max(1024u << (size % 4), static_cast<std::uint32_t>(piece.size() / 8));
  crew.splitFrom = 1;
  crew.speculateFirst = true;
  static zf::KeptStates kept{};
  crew.kept = &kept;
  // Levels 1 to 3 and 9 go through their board of pieces (one here), 4 to
  // 8 through the segments.
  const auto level = static_cast<std::uint8_t>(1 + size % 9);
  static zf::DeflateState* const state = zf::AllocateDeflateState();
  Require(state != nullptr);
  const auto alone = Stream(state, piece, level, nullptr, file);
  Require(Stream(state, piece, level, &crew, file) == alone);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool segments = std::getenv("ZIPFOLDER_FUZZ_SEGMENTS") != nullptr;
  if (segments) {
    static const int file = memfd_create("segments", 0);
    Require(file >= 0);
    CheckSegments(data, size, file);
    return 0;
  }
  auto* writer = static_cast<zf::ZipWriter*>(zf::OsAllocate(sizeof(zf::ZipWriter)));
  std::memset(writer, 0, offsetof(zf::ZipWriter, buffer));
  writer->choices = &writer->ownChoices;
  // Two in-memory files serve every input: creating them costs more than
  // compressing a small input.
  static const int source = memfd_create("source", 0);
  static const int output = memfd_create("output", 0);
  writer->current.source = source;
  writer->sink = zf::StreamSink(output, false);
  Require(writer->current.source >= 0 && output >= 0);
  writer->ownChoices.level = static_cast<std::int32_t>(size % 10);
  std::size_t at = 0;
  int entries = 0;
  do {
    std::size_t length = size - at;
    std::size_t repeat = 1;
    if (length >= 3 && ++entries < kMostEntries) {
      length = data[at] | std::size_t{data[at + 1]} << 8;
      repeat = data[at + 2] < 240 ? 1 : std::size_t{1} << (data[at + 2] - 238);
      at += 3;
    }
    length = std::min(length, size - at);
    std::vector<std::uint8_t> piece;
    piece.reserve(std::min(length * repeat, kLargestEntry));
    for (std::size_t r = 0; r < repeat && piece.size() + length <= kLargestEntry; ++r) {
      piece.insert(piece.end(), data + at, data + at + length);
    }
    at += length;
    DeflateAndCheck(writer, piece);
  } while (at < size);
  zf::OsRelease(writer->current.deflater);
  zf::OsRelease(writer);
  return 0;
}
