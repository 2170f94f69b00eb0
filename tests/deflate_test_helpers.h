// Shared by the deflate tests: a small independent decoder that reports the
// blocks and symbols of a raw deflate stream, zlib's inflate as a second
// opinion, and a writer that runs DeflateEntry the way AddEntry does.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "deflate/deflate.h"
#include "deflate/deflate_internal.h"
#include "deflate/record_symbol.h"
#include "support/test_files.h"
#include "zipwriter/entry_methods.h"
#include "zipwriter/zip_writer.h"

namespace zft {

// One decoded symbol: a literal (length 0) or a match.
struct Token {
  std::uint16_t length;
  std::uint16_t distance;
  std::uint8_t literal;
  bool operator==(const Token&) const = default;
};

inline Token Lit(std::uint8_t byte) { return {0, 0, byte}; }
inline Token Match(std::uint16_t length, std::uint16_t distance) { return {length, distance, 0}; }

struct DecodedBlock {
  int type;  // 0 stored, 1 fixed, 2 dynamic
  std::uint32_t storedLength;
  std::size_t firstToken;
  std::size_t tokenCount;  // without the end-of-block code
  std::size_t bitLength;   // header included
};

struct Decoded {
  bool ok = false;
  std::string failure;
  std::vector<std::uint8_t> bytes;
  std::vector<Token> tokens;
  std::vector<DecodedBlock> blocks;
  std::size_t bytesUsed = 0;
};

namespace detail {

struct BitReader {
  const std::vector<std::uint8_t>& data;
  std::size_t bitPos = 0;
  bool overrun = false;
  std::uint32_t Bits(int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      const std::size_t byte = bitPos >> 3;
      if (byte >= data.size()) {
        overrun = true;
        return 0;
      }
      value |= static_cast<std::uint32_t>((data[byte] >> (bitPos & 7)) & 1) << i;
      ++bitPos;
    }
    return value;
  }
};

// Canonical code from code lengths, decoded bit by bit (RFC 1951 3.2.2).
struct Code {
  int counts[16] = {};
  std::vector<int> symbols;
  bool Build(const std::vector<int>& lengths) {
    for (int length : lengths) ++counts[length];
    counts[0] = 0;
    int left = 1;
    for (int len = 1; len <= 15; ++len) {
      left = left * 2 - counts[len];
      if (left < 0) return false;
    }
    int offsets[16] = {};
    for (int len = 1; len < 15; ++len) offsets[len + 1] = offsets[len] + counts[len];
    symbols.assign(lengths.size(), 0);
    for (std::size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] != 0) symbols[static_cast<std::size_t>(offsets[lengths[s]]++)] = int(s);
    }
    return true;
  }
  int Decode(BitReader& in) const {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= 15; ++len) {
      code |= static_cast<int>(in.Bits(1));
      const int count = counts[len];
      if (code - count < first) return symbols[static_cast<std::size_t>(index + code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
      if (in.overrun) return -1;
    }
    return -1;
  }
};

constexpr int kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                               33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                               1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

inline bool Fail(Decoded* out, const std::string& why) {
  out->failure = why;
  return false;
}

inline bool DecodeCodedBlock(BitReader& in, const Code& lit, const Code& dist, Decoded* out) {
  for (;;) {
    const int symbol = lit.Decode(in);
    if (symbol < 0) return Fail(out, "bad literal/length code");
    if (symbol < 256) {
      out->bytes.push_back(static_cast<std::uint8_t>(symbol));
      out->tokens.push_back(Lit(static_cast<std::uint8_t>(symbol)));
      continue;
    }
    if (symbol == 256) return true;
    if (symbol > 285) return Fail(out, "length symbol beyond 285");
    const int c = symbol - 257;
    const int length = kLengthBase[c] + static_cast<int>(in.Bits(kLengthExtra[c]));
    const int e = dist.Decode(in);
    if (e < 0 || e > 29) return Fail(out, "bad distance code");
    const int distance = kDistBase[e] + static_cast<int>(in.Bits(kDistExtra[e]));
    if (static_cast<std::size_t>(distance) > out->bytes.size()) {
      return Fail(out, "distance too far");
    }
    const std::size_t from = out->bytes.size() - static_cast<std::size_t>(distance);
    for (int k = 0; k < length; ++k) {
      out->bytes.push_back(out->bytes[from + static_cast<std::size_t>(k)]);
    }
    out->tokens.push_back(
        Match(static_cast<std::uint16_t>(length), static_cast<std::uint16_t>(distance)));
  }
}

inline bool ReadLengths(BitReader& in, const Code& lengthCode, int count, std::vector<int>* lengths,
                        Decoded* out) {
  while (static_cast<int>(lengths->size()) < count) {
    const int symbol = lengthCode.Decode(in);
    if (symbol < 0) return Fail(out, "bad code-length code");
    if (symbol < 16) {
      lengths->push_back(symbol);
      continue;
    }
    int repeat = 0, value = 0;
    if (symbol == 16) {
      if (lengths->empty()) return Fail(out, "repeat without a previous length");
      value = lengths->back();
      repeat = 3 + static_cast<int>(in.Bits(2));
    } else if (symbol == 17) {
      repeat = 3 + static_cast<int>(in.Bits(3));
    } else {
      repeat = 11 + static_cast<int>(in.Bits(7));
    }
    if (static_cast<int>(lengths->size()) + repeat > count) return Fail(out, "run past the end");
    lengths->insert(lengths->end(), static_cast<std::size_t>(repeat), value);
  }
  return true;
}

}  // namespace detail

// Decodes a whole raw deflate stream, keeping every block and symbol.
inline Decoded DecodeDeflate(const std::vector<std::uint8_t>& stream) {
  Decoded out;
  detail::BitReader in{stream};
  bool final = false;
  while (!final) {
    DecodedBlock block{};
    const std::size_t startBit = in.bitPos;
    block.firstToken = out.tokens.size();
    final = in.Bits(1) != 0;
    block.type = static_cast<int>(in.Bits(2));
    if (block.type == 0) {
      in.bitPos = (in.bitPos + 7) & ~std::size_t{7};
      const std::uint32_t len = in.Bits(16);
      const std::uint32_t nlen = in.Bits(16);
      if ((len ^ 0xFFFF) != nlen) {
        detail::Fail(&out, "NLEN is not the complement of LEN");
        return out;
      }
      block.storedLength = len;
      for (std::uint32_t k = 0; k < len; ++k) {
        out.bytes.push_back(static_cast<std::uint8_t>(in.Bits(8)));
      }
    } else if (block.type == 1) {
      std::vector<int> lit(288), dist(30, 5);
      for (int s = 0; s < 288; ++s) {
        lit[static_cast<std::size_t>(s)] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
      }
      detail::Code litCode, distCode;
      litCode.Build(lit);
      distCode.Build(dist);
      if (!detail::DecodeCodedBlock(in, litCode, distCode, &out)) return out;
    } else if (block.type == 2) {
      const int hlit = static_cast<int>(in.Bits(5)) + 257;
      const int hdist = static_cast<int>(in.Bits(5)) + 1;
      const int hclen = static_cast<int>(in.Bits(4)) + 4;
      std::vector<int> codeLengths(19, 0);
      for (int i = 0; i < hclen; ++i) {
        codeLengths[static_cast<std::size_t>(detail::kOrder[i])] = static_cast<int>(in.Bits(3));
      }
      detail::Code lengthCode;
      if (!lengthCode.Build(codeLengths)) {
        detail::Fail(&out, "over-subscribed code-length code");
        return out;
      }
      std::vector<int> lengths;
      if (!detail::ReadLengths(in, lengthCode, hlit + hdist, &lengths, &out)) return out;
      const std::vector<int> literalLengths(lengths.begin(), lengths.begin() + hlit);
      const std::vector<int> distanceLengths(lengths.begin() + hlit, lengths.end());
      detail::Code litCode, distCode;
      if (!litCode.Build(literalLengths) || !distCode.Build(distanceLengths)) {
        detail::Fail(&out, "over-subscribed code");
        return out;
      }
      if (!detail::DecodeCodedBlock(in, litCode, distCode, &out)) return out;
    } else {
      detail::Fail(&out, "block type 3");
      return out;
    }
    if (in.overrun) {
      detail::Fail(&out, "stream ends inside a block");
      return out;
    }
    block.tokenCount = out.tokens.size() - block.firstToken;
    block.bitLength = in.bitPos - startBit;
    out.blocks.push_back(std::move(block));
  }
  out.bytesUsed = (in.bitPos + 7) >> 3;
  out.ok = true;
  return out;
}

// zlib's raw inflate; false when the stream is not exactly one valid stream.
inline bool ZlibInflate(const std::vector<std::uint8_t>& stream, std::size_t expectedSize,
                        std::vector<std::uint8_t>* out) {
  out->assign(expectedSize + 1, 0);
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out->data();
  z.avail_out = static_cast<uInt>(out->size());
  const int status = inflate(&z, Z_FINISH);
  const bool whole = status == Z_STREAM_END && z.avail_in == 0;
  out->resize(z.total_out);
  inflateEnd(&z);
  return whole;
}

struct EntryResult {
  std::vector<std::uint8_t> stream;  // the bytes the entry handed to the archive
  std::uint64_t compressedSize;
  std::int32_t error;
  std::uint16_t flags;
  std::uint16_t internalAttributes;
  std::uint32_t crc;
  std::uint64_t bytesRead;
};

inline std::vector<std::uint8_t> ReadRange(const std::string& path, std::uint64_t from,
                                           std::uint64_t to) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(to - from));
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(from));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(in || bytes.empty()) << "cannot read " << path;
  return bytes;
}

// Trailing bytes after the writer's record: a write past its buffer shows up
// as a changed canary in every build, and as an error under AddressSanitizer
// only when the canary is not there, so it is kept small.
inline constexpr std::size_t kCanaryBytes = 8;
inline constexpr std::uint8_t kCanary = 0xA5;

// One archive writer whose output is a scratch file, fed one source file per
// entry as AddEntry does it.
struct DeflateHarness {
  ScratchDir dir;
  zf::ZipWriter* writer = nullptr;
  std::string outputPath;
  int sources = 0;
  // Writes past this byte of the output fail while an entry is compressed.
  std::uint64_t outputLimit = kNoFileSizeLimit;

  DeflateHarness() {
    writer = static_cast<zf::ZipWriter*>(zf::OsAllocate(sizeof(zf::ZipWriter) + kCanaryBytes));
    std::memset(writer, 0, sizeof(zf::ZipWriter));
    std::memset(reinterpret_cast<std::uint8_t*>(writer) + sizeof(zf::ZipWriter), kCanary,
                kCanaryBytes);
    outputPath = dir.Path("out.bin");
    writer->sink = zf::FileSink(zf::OsCreateArchive(outputPath.c_str()));
    writer->current.source = zf::kNoFile;
    writer->choices = &writer->ownChoices;
  }
  ~DeflateHarness() {
    zf::SinkClose(writer->sink);
    zf::OsRelease(writer->current.deflater);
    zf::OsRelease(writer);
  }
  DeflateHarness(const DeflateHarness&) = delete;
  DeflateHarness& operator=(const DeflateHarness&) = delete;

  bool CanaryIntact() const {
    const auto* tail = reinterpret_cast<const std::uint8_t*>(writer) + sizeof(zf::ZipWriter);
    for (std::size_t i = 0; i < kCanaryBytes; ++i) {
      if (tail[i] != kCanary) return false;
    }
    return true;
  }

  // Runs DeflateEntry on a source opened with an arbitrary descriptor.
  EntryResult RunOn(zf::OsFile source) {
    const std::uint64_t start = writer->position;
    writer->current.source = source;
    writer->current.bytesRead = 0;
    writer->current.crc = 0;
    writer->current.compressedSize = 0;
    writer->failure.code = zf::ErrNone;
    zf::ZipEntry entry{};
    entry.flags = 0x0008;
    {
      const FileSizeLimit full(outputLimit);
      zf::DeflateEntry(&entry, writer);
      zf::FlushOutput(writer);
    }
    // Buffered bytes of a failed write never reached the file; a write cut
    // short moves the file past the position, as a dropped entry does in the
    // archive, where the next entry starts at the position again.
    zf::OsFileFacts facts{};
    if (writer->failure.code != zf::ErrNone && zf::OsGetFacts(writer->sink.file, &facts) &&
        facts.size < writer->position) {
      writer->position = facts.size;
    }
    zf::OsSeek(writer->sink.file, writer->position);
    writer->current.source = zf::kNoFile;
    EntryResult result{};
    result.stream = ReadRange(outputPath, start, writer->position);
    result.compressedSize = writer->current.compressedSize;
    result.error = writer->failure.code;
    result.flags = entry.flags;
    result.internalAttributes = entry.internalAttributes;
    result.crc = writer->current.crc;
    result.bytesRead = writer->current.bytesRead;
    return result;
  }

  EntryResult Compress(const std::vector<std::uint8_t>& input) {
    const std::string path = dir.Path("source" + std::to_string(sources++));
    WriteFile(path, input);
    const zf::OsFile source = zf::OsOpenSource(path.c_str());
    EXPECT_NE(source, zf::kNoFile);
    EntryResult result = RunOn(source);
    zf::OsClose(source);
    return result;
  }
};

// The harness's state, allocated by an empty entry if need be, ready for a
// new entry's blocks to be recorded and finished by hand.
inline zf::DeflateState* BlockState(DeflateHarness& harness, zf::ZipEntry* entry) {
  if (harness.writer->current.deflater == nullptr) harness.Compress({});
  zf::DeflateState* state = harness.writer->current.deflater;
  harness.writer->failure.code = zf::ErrNone;
  harness.writer->current.compressedSize = 0;
  zf::BeginEntryOutput(state, &entry->internalAttributes, zf::kDefaultLevel);
  zf::ResetBlock(state);
  state->scanPosition = 0;
  state->blockBegin = 0;
  return state;
}

inline std::vector<std::uint8_t> OutputSince(const DeflateHarness& harness, std::uint64_t start) {
  zf::FlushOutput(harness.writer);
  return ReadRange(harness.outputPath, start, harness.writer->position);
}

// Compresses input and checks everything an entry must satisfy: no error, the
// size from the bit counts equal to the bytes written, the count and CRC of
// the source, the level's deflate flag bits, and both decoders giving the
// input back.
inline Decoded CompressAndCheck(DeflateHarness& harness, const std::vector<std::uint8_t>& input,
                                EntryResult* resultOut = nullptr,
                                std::uint16_t deflateFlagBits = 0x0002) {
  const EntryResult result = harness.Compress(input);
  EXPECT_EQ(result.error, zf::ErrNone);
  EXPECT_EQ(result.compressedSize, result.stream.size());
  EXPECT_EQ(result.bytesRead, input.size());
  EXPECT_EQ(result.crc,
            static_cast<std::uint32_t>(crc32(0, input.data(), static_cast<uInt>(input.size()))));
  EXPECT_EQ(result.flags & 0x0006, deflateFlagBits);
  std::vector<std::uint8_t> inflated;
  EXPECT_TRUE(ZlibInflate(result.stream, input.size(), &inflated));
  EXPECT_TRUE(inflated == input) << "zlib's inflate disagrees";
  Decoded decoded = DecodeDeflate(result.stream);
  EXPECT_TRUE(decoded.ok) << decoded.failure;
  EXPECT_EQ(decoded.bytesUsed, result.stream.size());
  EXPECT_TRUE(decoded.bytes == input);
  for (const Token& token : decoded.tokens) {
    if (token.distance > 32506) {
      ADD_FAILURE() << "a match reaches " << token.distance << " bytes back";
      break;
    }
  }
  if (resultOut != nullptr) *resultOut = result;
  return decoded;
}

// Bytes in which no three-byte string occurs twice: big-endian 16-bit
// counters from first on, so a test decides exactly where matches are.
inline std::vector<std::uint8_t> Unrepeated(std::uint16_t first, std::size_t count) {
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t c = first; bytes.size() < count; ++c) {
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    bytes.push_back(static_cast<std::uint8_t>(c));
  }
  bytes.resize(count);
  return bytes;
}

inline void Append(std::vector<std::uint8_t>* to, const std::vector<std::uint8_t>& bytes) {
  to->insert(to->end(), bytes.begin(), bytes.end());
}

inline void Append(std::vector<std::uint8_t>* to, const std::string& text) {
  to->insert(to->end(), text.begin(), text.end());
}

}  // namespace zft
