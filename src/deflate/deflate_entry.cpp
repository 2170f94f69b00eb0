// The compressor's entry points: the state's allocation, the per-stream
// start of the block output and of the window, and one stream run alone or
// in segments.
#include <cstring>

#include "deflate/deflate.h"
#include "deflate/deflate_internal.h"
#include "deflate/middle_chains.h"
#include "deflate/segment_parse.h"
#include "platform/platform.h"
#include "zipwriter/failure.h"

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

void StartMatcher(std::uint8_t level, DeflateState* state) {
  state->windowSlides = 1;
  state->windowBytes = kWindowSize;
  // Chain steps stay: with the heads cleared, every chain of the new entry
  // ends at a link the entry wrote itself. The fast run's table is cleared
  // whole instead.
  state->level = level;
  if (!UsesTable(level) && !UsesMiddleChains(level)) {
    std::memset(state->hashHeads, 0, sizeof state->hashHeads);
  }
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
  if (UsesTable(level) || UsesMiddleChains(level)) {
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
    const std::uint32_t wholeInput = state->inputEnded != 0 ? state->bytesAhead : 0;
    if (UsesTable(level)) {
      ClearTable(state, wholeInput);
    } else {
      ClearMiddle(state->hashHeads, &state->middle, wholeInput);
    }
  }
  if (state->bytesAhead == 0) return;
  if (state->bytesAhead < kLeastAhead) RefillWindow(state);
  state->rollingHash = state->slidingWindow[0];
  state->rollingHash = ((state->rollingHash << kHashShift) ^ state->slidingWindow[1]) & kHashMask;
}

std::uint8_t DeflateLevel(std::int32_t asked) {
  return asked >= 1 && asked <= kHighestLevel ? static_cast<std::uint8_t>(asked) : kDefaultLevel;
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

std::int32_t DeflateData(DeflateState* state, const DeflateJob& job, std::uint16_t* fileTypeWord,
                         std::int32_t* systemError, std::uint64_t* deflatedBytes) {
  state->source = job.source;
  state->sink = job.sink;
  state->outBuffer = job.outBuffer;
  std::int32_t code = ErrNone;
  *systemError = 0;
  if (job.crew != nullptr && SplitsInput(job.crew, job.level, job.size)) {
    code = DeflateInSegments(state, job.level, fileTypeWord, job.crew, job.file, job.size,
                             systemError);
  } else {
    DeflateStream(state, job.level, fileTypeWord);
  }
  *deflatedBytes = DeflatedBytes(state);
  return code;
}

}  // namespace zf
