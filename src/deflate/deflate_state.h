// The compressor's whole working memory, one record per archive, and the
// constant tables every record shares.
#pragma once

#include <cstdint>

namespace zf {

// Where the compressor's input comes from and where its output goes: the
// archive writer for an entry (deflate_entry.cpp), a positional reader for
// the parse of one segment of a large file (segment_parse.cpp). A failure
// of either sticks in the state and stops the run at its next check.
struct DeflateSource {
  // Up to count bytes into into; *got 0 at the end of the input. False on a
  // failure.
  bool (*read)(void* context, std::uint8_t* into, std::uint32_t count, std::uint32_t* got);
  void* context;
};
struct DeflateSink {
  // Takes count bytes of output; false when they could not go out.
  bool (*write)(void* context, const std::uint8_t* bytes, std::uint32_t count);
  void* context;
};
inline constexpr std::uint32_t kDeflateOutBytes = 16384;

// Sizes of the alphabets and of the trees that hold them. A dynamic tree keeps
// its internal nodes after its leaves, so it needs twice the leaves plus one.
inline constexpr int kLiteralSymbols = 286;
inline constexpr int kDistanceSymbols = 30;
inline constexpr int kLengthCodeSymbols = 19;
inline constexpr int kFixedLiteralSymbols = 288;
inline constexpr int kLiteralNodes = 2 * kLiteralSymbols + 1;
inline constexpr int kDistanceNodes = 2 * kDistanceSymbols + 1;
inline constexpr int kLengthCodeNodes = 2 * kLengthCodeSymbols + 1;
inline constexpr int kHeapSize = kLiteralNodes;
inline constexpr int kEndOfBlock = 256;
inline constexpr int kFirstLengthSymbol = 257;
inline constexpr int kMaxCodeBits = 15;
inline constexpr int kMaxLengthCodeBits = 7;
inline constexpr int kLengthCodes = 29;

// Block buffers. A block ends at kMaxBlockSymbols, one short of the buffers'
// room, so the partial flag byte always has a slot.
inline constexpr std::uint32_t kSymbolRoom = 32768;
inline constexpr std::uint32_t kFlagRoom = kSymbolRoom / 8;
inline constexpr std::uint32_t kMaxBlockSymbols = 32767;
// The fast levels end a full block on a whole flag byte, so that the test
// for a full block is made once per eight symbols.
inline constexpr std::uint32_t kFastBlockSymbols = kSymbolRoom - 8;
inline constexpr std::uint32_t kEarlyEndStep = 4096;
// The block split by statistics (block_split.h): every kSplitStep symbols,
// eight kinds of literal by their top three bits and two of match, short
// (length below 3 + kSplitLongMatch) or long.
inline constexpr std::uint32_t kSplitStep = 512;
inline constexpr std::uint32_t kSplitLiteralKinds = 8;
inline constexpr std::uint32_t kSplitKinds = kSplitLiteralKinds + 2;
inline constexpr std::uint32_t kSplitLongMatch = 6;
inline constexpr std::uint32_t kLeastSplitBlock = 2048;
inline constexpr std::uint32_t kSplitDistanceNumerator = 2;
inline constexpr std::uint32_t kSplitDistanceDenominator = 5;
static_assert(kSplitStep % 8 == 0 && kMaxBlockSymbols > kLeastSplitBlock + kSplitStep);

// The window and the match search.
inline constexpr std::uint32_t kShortestMatch = 3;
inline constexpr std::uint32_t kLongestMatch = 258;
inline constexpr std::uint32_t kWindowHalf = 32768;
inline constexpr std::uint32_t kWindowSize = 2 * kWindowHalf;
inline constexpr std::uint32_t kHashSize = 32768;
inline constexpr std::uint32_t kHashMask = kHashSize - 1;
inline constexpr std::uint32_t kHashShift = 5;
inline constexpr std::uint32_t kLeastAhead = kLongestMatch + kShortestMatch + 1;
inline constexpr std::uint32_t kFarthestDistance = kWindowHalf - kLeastAhead;
inline constexpr std::uint32_t kSlidePoint = kWindowHalf + kFarthestDistance;
inline constexpr std::uint32_t kFarThreeLimit = 4096;
// Levels: 8 when none is asked for; 1 to 3 take the fast run over a hash
// table (compress_fast.cpp), 4 to 9 the lazy one (compress_run.cpp).
inline constexpr std::uint8_t kDefaultLevel = 8;
inline constexpr std::uint8_t kLastFastLevel = 3;
// The fast run's hash table: kTableBuckets buckets of up to kMostWays
// window positions each, newest first, of the four bytes hashed there.
inline constexpr std::uint32_t kTableBits = 15;
inline constexpr std::uint32_t kLeastTableBits = 10;
inline constexpr std::uint32_t kTableBuckets = 1u << kTableBits;
inline constexpr std::uint32_t kMostWays = 4;
inline constexpr std::uint32_t kTableMatch = 4;
// The fast run parses in pieces of this many input bytes, each on its own
// (compress_fast.cpp says why and what it costs).
inline constexpr std::uint32_t kRestartBytes = 1u << 20;
struct FastTuning {
  std::uint8_t ways;          // positions per bucket, 1 to kMostWays
  std::uint16_t insertLimit;  // matches up to this long enter what they cover
  std::uint16_t niceLength;   // a match this long ends the search
};
inline constexpr FastTuning kFastTuning[kLastFastLevel + 1] = {
    {0, 0, 0}, {2, 16, 32}, {4, 32, 64}, {4, 258, 128}};
inline bool UsesTable(std::uint8_t level) { return level <= kLastFastLevel; }
inline constexpr std::uint8_t kHighestLevel = 9;
// Level 9 takes the near-optimal parse over a binary tree of the window's
// positions (compress_best.cpp).
inline bool ParsesBest(std::uint8_t level) { return level == kHighestLevel; }
// The lazy levels end a block of mostly literals that codes well early
// (record_symbol.h); level 9 leaves its blocks to its own split by bits
// (best_split.h), which an early end would only cut short.
inline bool EndsEarly(std::uint8_t level) { return level > kLastFastLevel && !ParsesBest(level); }
// Every level but the default ends blocks where the data's statistics
// change (block_split.h); the default keeps the blocks it always made, and
// level 9 weighs the bits of its own path's symbols (best_split.h).
inline bool SplitsByStatistics(std::uint8_t level) {
  return level != kDefaultLevel && !ParsesBest(level);
}
// Levels 4 to 7 take chains of four-byte hashes and a table of three-byte
// ones (middle_chains.h); the lazy loop is level 8's.
inline constexpr std::uint8_t kFirstMiddleLevel = 4;
inline constexpr std::uint8_t kLastMiddleLevel = 7;
inline bool UsesMiddleChains(std::uint8_t level) {
  return level >= kFirstMiddleLevel && level <= kLastMiddleLevel;
}
static_assert(kWindowSize <= 0x10000, "chain entries hold window positions in 16 bits");

// The next positions along a window position's hash chain (hash_chains.h),
// nearest first.
inline constexpr std::uint32_t kChainStepsKept = 16;
struct ChainSteps {
  std::uint16_t next[kChainStepsKept];
};

// The finder of levels 4 to 7 (middle_chains.h): one link per window
// position along the chain of its four bytes' hash (the heads are the
// record's hashHeads), and the newest position per hash of three bytes.
inline constexpr std::uint32_t kMiddleHeadBits = 15;
inline constexpr std::uint32_t kMiddleThreeBits = 14;
inline constexpr std::uint32_t kMiddleLeastBits = 10;
static_assert(kHashSize == 1u << kMiddleHeadBits);
struct MiddleChains {
  std::uint16_t links[kWindowHalf];
  std::uint16_t nearThree[1u << kMiddleThreeBits];
  std::uint16_t lastThree;  // the slot's position before the last one entered
  // 32 less the hashes' widths: kMiddleHeadBits and kMiddleThreeBits, or
  // fewer for an input the first window holds whole (middle_chains.h).
  std::uint32_t headShift;
  std::uint32_t threeShift;
};

// The near-optimal parse's memory (compress_best.cpp): the binary tree of
// window positions (two children per position modulo 32,768: the one whose
// bytes sort before it, the one after), the nearest position of each hash
// of three bytes (a member of its own, below), and one chunk's candidate
// matches, path costs and steps.
inline constexpr std::uint32_t kThreeHashBits = 16;
inline constexpr std::uint32_t kBestChunk = 32768;
// The parse restarts every kBestPieceBytes of an input: the search, the
// costs and the window start afresh and a block ends there, so that each
// such piece can be parsed on its own (compress_best.cpp).
inline constexpr std::uint64_t kBestPieceBytes = 8u << 20;
inline constexpr std::uint32_t kBestMatchRoom = 129000;
struct BestParseMemory {
  std::uint16_t tree[kWindowHalf][2];
  std::uint32_t cost[kBestChunk + 1];
  std::uint32_t step[kBestChunk + 1];
  std::uint32_t firstMatch[kBestChunk + 1];
  std::uint32_t matches[kBestMatchRoom];  // length << 16 | distance
};

// Each word holds one meaning while a block is counted and the tree is built,
// and the other once codes are assigned.
struct TreeNode {
  union {
    std::uint16_t frequency;
    std::uint16_t code;  // bit-reversed, so the first bit to send is bit 0
  };
  union {
    std::uint16_t parent;
    std::uint16_t length;  // 0 = not used in this block
  };
};

struct TreeDescriptor {
  TreeNode* tree;
  const TreeNode* fixedTree;  // null when the alphabet has no fixed code
  const std::int32_t* extraBits;
  std::int32_t extraBitsFrom;
  std::int32_t alphabetSize;
  std::int32_t lengthLimit;
  std::int32_t largestCode;
};

struct LevelTuning {
  std::uint16_t reduceChainAt;
  std::uint16_t lazyLimit;
  std::uint16_t stopLength;
  std::uint16_t chainLimit;
};

inline constexpr std::int32_t lengthExtraBits[kLengthCodes] = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::int32_t distanceExtraBits[kDistanceSymbols] = {
    0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr std::int32_t codeLengthExtraBits[kLengthCodeSymbols] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
inline constexpr std::uint8_t codeLengthOrder[kLengthCodeSymbols] = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
// Levels 4 to 9; the rows of 1 to 3 are read by nothing but the lazy
// fields' set-up (their run takes kFastTuning).
inline constexpr LevelTuning LevelTuningTable[10] = {
    {0, 0, 0, 0},         {4, 4, 8, 4},        {4, 5, 16, 8},    {4, 6, 32, 32},
    {8, 8, 32, 8},        {8, 16, 64, 16},     {6, 16, 258, 36}, {16, 32, 258, 96},
    {32, 128, 258, 1024}, {32, 258, 258, 4096}};

struct DeflateState {
  // The match search's hash chains, indexed by window position modulo
  // 32,768, in the form the level walks (hash_chains.h): sixteen steps per
  // position for level 8, one link for levels 4 to 7, and the other levels'
  // own memory. First in the record, so that every slot starts on the
  // allocation's own alignment.
  union {
    ChainSteps chainSteps[kWindowHalf];
    MiddleChains middle;
    std::uint16_t fastTable[kTableBuckets * kMostWays];
    BestParseMemory best;
  };
  // Input, output and the sticky failure of either.
  DeflateSource source;
  DeflateSink sink;
  bool failed;
  // Trees and block output.
  TreeNode literalTree[kLiteralNodes];
  TreeNode distanceTree[kDistanceNodes];
  TreeNode fixedLiteralTree[kFixedLiteralSymbols];
  TreeNode fixedDistanceTree[kDistanceSymbols];  // element 0's length: 5 once built
  TreeNode lengthCodeTree[kLengthCodeNodes];
  TreeDescriptor literalDesc;
  TreeDescriptor distanceDesc;
  TreeDescriptor lengthCodeDesc;
  std::uint16_t codesPerLength[kMaxCodeBits + 1];
  // From sortedStart on: the tree's nodes, root first, each parent before
  // its children.
  std::int32_t heap[kHeapSize];
  std::int32_t sortedStart;
  std::uint8_t nodeDepth[kHeapSize];
  std::uint8_t lengthToCode[256];
  std::uint8_t distanceToCode[512];  // d < 256 direct, else at 256 + (d >> 7)
  std::int32_t lengthBase[kLengthCodes];
  std::int32_t distanceBase[kDistanceSymbols];
  std::uint8_t symbolBuffer[kSymbolRoom];
  std::uint16_t distanceBuffer[kSymbolRoom];
  std::uint8_t flagBuffer[kFlagRoom];
  std::uint32_t symbolCount;
  std::uint32_t splitCounts[kSplitKinds];  // the block's symbols by kind, whole steps
  std::uint32_t distanceCount;
  std::uint32_t flagByteCount;
  std::uint8_t pendingFlags;
  std::uint8_t flagMask;
  std::uint32_t dynamicBlockBits;
  std::uint32_t fixedBlockBits;
  std::uint64_t outputBytes;  // an entry may pass 4 GiB
  std::uint32_t outputBitRemainder;
  std::uint16_t* fileTypeWord;
  std::uint32_t bitBuffer;
  std::int32_t bitCount;
  std::uint8_t* outBuffer;
  std::uint32_t outFill;
  std::uint32_t outCapacity;
  // Window and match search.
  alignas(8) std::uint8_t slidingWindow[kWindowSize];
  std::uint16_t hashHeads[kHashSize];
  // Level 9's nearest position of each hash of three bytes (compress_best.cpp):
  // outside the parse's memory, which the chains' room holds to the brim.
  std::uint16_t nearThree[1u << kThreeHashBits];
  std::uint32_t windowBytes;
  std::uint64_t windowBase;  // the input offset of window position 0
  std::int32_t blockBegin;   // negative once the block's first byte slid out
  std::uint32_t rollingHash;
  std::uint32_t deferredLength;
  std::uint32_t scanPosition;
  std::uint32_t matchPosition;
  std::uint32_t bytesAhead;
  std::uint32_t chainLimit;
  std::uint32_t lazyLimit;  // in the fast run: the insertion limit
  std::uint32_t reduceChainAt;
  std::uint32_t stopLength;
  std::uint8_t inputEnded;
  std::uint8_t windowSlides;
  std::uint8_t level;       // 1 to 9
  std::uint32_t tableBits;  // the fast run's hash width
  // 0 while a block output replays a parse made elsewhere: the window
  // slides, but there are no chains to slide with it.
  std::uint8_t chainsKept;
  // The match loop's own variables while it is paused between two calls
  // (segment_parse.cpp): the last successor entered, the match found at
  // the scan position and whether the byte before it waits as a literal.
  std::uint32_t loopCandidate;
  std::uint32_t loopLength;
  bool loopLiteralPending;
#ifndef NDEBUG
  // Bytes of the current entry handed to PutBytes, to check the size that the
  // bit counts give.
  std::uint64_t handedBytes;
#endif
};

// The distance code of a distance minus 1.
inline std::uint32_t DistanceCode(const DeflateState* state, std::uint32_t distanceLess1) {
  return distanceLess1 < 256 ? state->distanceToCode[distanceLess1]
                             : state->distanceToCode[256 + (distanceLess1 >> 7)];
}

}  // namespace zf
