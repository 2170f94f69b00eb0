// The compressor's entry points: the state's allocation, the per-stream
// start of the block output and of the window, and the archive writer's
// adapter, which hands the compressor the entry's source and the writer's
// output as a narrow source and sink.
#include <cstring>

#include "deflate/deflate.h"
#include "deflate/deflate_internal.h"
#include "deflate/segment_parse.h"
#include "platform/platform.h"

namespace zf {

DeflateState* AllocateDeflateState() {
  auto* state = static_cast<DeflateState*>(OsAllocate(sizeof(DeflateState)));
  if (state == nullptr) return nullptr;
  // The match search reads past the valid input near its end; cleared memory
  // makes what it finds there, and so the archive, the same on every run.
  std::memset(state, 0, sizeof(DeflateState));
  state->chainsKept = 1;
  state->literalDesc = {.tree = state->literalTree,
                        .fixedTree = state->fixedLiteralTree,
                        .extraBits = lengthExtraBits,
                        .extraBitsFrom = kFirstLengthSymbol,
                        .alphabetSize = kLiteralSymbols,
                        .lengthLimit = kMaxCodeBits,
                        .largestCode = 0};
  state->distanceDesc = {.tree = state->distanceTree,
                         .fixedTree = state->fixedDistanceTree,
                         .extraBits = distanceExtraBits,
                         .extraBitsFrom = 0,
                         .alphabetSize = kDistanceSymbols,
                         .lengthLimit = kMaxCodeBits,
                         .largestCode = 0};
  state->lengthCodeDesc = {.tree = state->lengthCodeTree,
                           .fixedTree = nullptr,
                           .extraBits = codeLengthExtraBits,
                           .extraBitsFrom = 0,
                           .alphabetSize = kLengthCodeSymbols,
                           .lengthLimit = kMaxLengthCodeBits,
                           .largestCode = 0};
  return state;
}

namespace {

// The level the writer asks for, the default when it names none.
std::uint8_t WriterLevel(const ZipWriter* writer) {
  return writer->level >= 1 && writer->level <= kHighestLevel
             ? static_cast<std::uint8_t>(writer->level)
             : kDefaultLevel;
}

bool ReadFromWriter(void* context, std::uint8_t* into, std::uint32_t count, std::uint32_t* got) {
  auto* writer = static_cast<ZipWriter*>(context);
  *got = ReadSource(writer, into, count);
  return writer->error == ErrNone;
}

bool WriteToWriter(void* context, const std::uint8_t* bytes, std::uint32_t count) {
  auto* writer = static_cast<ZipWriter*>(context);
  PutBytes(writer, bytes, count);
  return writer->error == ErrNone;
}

}  // namespace

void BeginEntryOutput(DeflateState* state, std::uint16_t* fileTypeWord, std::uint8_t level) {
  state->level = level;
  state->failed = false;
  state->bitCount = 0;
  state->bitBuffer = 0;
  state->outFill = 0;
  state->outCapacity = kDeflateOutBytes;
  state->flagByteCount = 0;
  state->distanceCount = 0;
  state->symbolCount = 0;
  state->outputBytes = 0;
  state->outputBitRemainder = 0;
#ifndef NDEBUG
  state->handedBytes = 0;
#endif
  // Not yet classified; the first block's literals decide.
  *fileTypeWord = 0xFFFF;
  state->fileTypeWord = fileTypeWord;
  // Every stream starts from a clear block, also after one that failed
  // midway.
  if (state->fixedDistanceTree[0].length == 0) {
    BuildFixedTables(state);
  } else {
    ResetBlock(state);
  }
}

// Bits 1 and 2 of the general-purpose flags tell the level: fast or best.
std::uint16_t LevelFlags(std::uint8_t level) { return level <= 2 ? 4 : level >= 8 ? 2 : 0; }

void StartMatcher(std::uint8_t level, DeflateState* state) {
  state->windowSlides = 1;
  state->windowBytes = kWindowSize;
  // Chain steps stay: with the heads cleared, every chain of the new entry
  // ends at a link the entry wrote itself. The fast run's table is cleared
  // whole instead.
  state->level = level;
  if (!UsesTable(level)) std::memset(state->hashHeads, 0, sizeof state->hashHeads);
  const LevelTuning& tuning = LevelTuningTable[level];
  state->reduceChainAt = tuning.reduceChainAt;
  state->lazyLimit = tuning.lazyLimit;
  state->stopLength = tuning.stopLength;
  state->chainLimit = tuning.chainLimit;
  state->loopCandidate = 0;
  state->loopLength = kShortestMatch - 1;
  state->loopLiteralPending = false;
  state->windowBase = 0;
  state->scanPosition = 0;
  state->blockBegin = 0;
  state->inputEnded = 0;
  state->bytesAhead = ReadInput(state, state->slidingWindow, kWindowSize);
  if (UsesTable(level)) {
    // The table's size depends on the input's length when the first window
    // holds it whole: the window is filled whatever the reads return.
    while (state->bytesAhead != 0 && state->bytesAhead < kWindowSize) {
      const std::uint32_t got = ReadInput(state, state->slidingWindow + state->bytesAhead,
                                          kWindowSize - state->bytesAhead);
      if (got == 0) {
        state->inputEnded = 1;
        break;
      }
      state->bytesAhead += got;
    }
    ClearTable(state, state->inputEnded != 0 ? state->bytesAhead : 0);
  }
  if (state->bytesAhead == 0) return;
  if (state->bytesAhead < kLeastAhead) RefillWindow(state);
  state->rollingHash = state->slidingWindow[0];
  state->rollingHash = ((state->rollingHash << kHashShift) ^ state->slidingWindow[1]) & kHashMask;
}

std::uint16_t DeflateFlags(const ZipWriter* writer) {
  return writer->level == kLevelStoreAll ? 0 : LevelFlags(WriterLevel(writer));
}

void DeflateStream(DeflateState* state, std::uint8_t level, std::uint16_t* fileTypeWord) {
  BeginEntryOutput(state, fileTypeWord, level);
  StartMatcher(level, state);
  if (state->failed) return;
  if (level <= kLastFastLevel) {
    CompressFast(state);
  } else {
    CompressLazy(state);
  }
}

void DeflateEntry(ZipEntry* entry, ZipWriter* writer) {
  DeflateState* state = writer->deflater;
  if (state == nullptr) {
    state = AllocateDeflateState();
    if (state == nullptr) {
      writer->error = ErrNoMemory;
      return;
    }
    writer->deflater = state;
  }
  const std::uint8_t level = WriterLevel(writer);
  // Set when they are not already: an entry bound for a stream has them
  // from its opening, and its header is read by the placing thread while
  // this one compresses.
  const std::uint16_t levelFlags = LevelFlags(level);
  if ((entry->flags & levelFlags) != levelFlags) {
    entry->flags = static_cast<std::uint16_t>(entry->flags | levelFlags);
  }
  state->source = {ReadFromWriter, writer};
  state->sink = {WriteToWriter, writer};
  static_assert(sizeof writer->buffer >= kDeflateOutBytes);
  state->outBuffer = writer->buffer;
  if (writer->parseCrew != nullptr && SplitsInput(writer->parseCrew, level, writer->sourceSize)) {
    std::int32_t systemError = 0;
    const std::int32_t code =
        DeflateInSegments(state, level, &entry->internalAttributes, writer->parseCrew,
                          writer->source, writer->sourceSize, &systemError);
    // A failure of the writer's own (its output, the entry's read) stays.
    if (code != ErrNone && writer->error == ErrNone) {
      writer->error = code;
      writer->systemError = systemError;
    }
  } else {
    DeflateStream(state, level, &entry->internalAttributes);
  }
  writer->compressedSize = DeflatedBytes(state);
}

}  // namespace zf
