// The compressor's operations behind DeflateEntry, reachable by the tests.
#pragma once

#include <cstdint>

#include "deflate/deflate_state.h"

namespace zf {

// Huffman trees and the fixed code tables.
void BuildFixedTables(DeflateState* state);
void ResetBlock(DeflateState* state);
void BuildHuffmanTree(DeflateState* state, TreeDescriptor* descriptor);
// Levels 1 to 3: an optimal code by sorting (fast_codes.cpp), with ties of
// their own.
void BuildFastCode(DeflateState* state, TreeDescriptor* descriptor);
// The builder of the state's level's codes.
inline void BuildCode(DeflateState* state, TreeDescriptor* descriptor) {
  if (UsesTable(state->level)) {
    BuildFastCode(state, descriptor);
  } else {
    BuildHuffmanTree(state, descriptor);
  }
}
void LimitCodeLengths(DeflateState* state, TreeDescriptor* descriptor);
void AssignCodes(DeflateState* state, TreeNode* tree, std::int32_t largest);
void CountRunLengths(DeflateState* state, TreeNode* tree, std::int32_t largest);
std::int32_t BuildLengthTree(DeflateState* state);
void GuessTextOrBinary(DeflateState* state);

// How long a run of equal code lengths may grow before it is sent, and how
// long it must be to go as a repeat, given the run that just ended (-1 at
// the start) and the length that follows it. Counting and sending the tree
// header walk the lengths by the same rules.
struct RunLimits {
  std::uint32_t maxCount;
  std::uint32_t minCount;
};

inline RunLimits NextRunLimits(std::int32_t current, std::int32_t next) {
  if (next == 0) return {138, 3};
  // A run cut at its maximum goes on as repeats of the same length only.
  if (current == next) return {6, 3};
  return {7, 4};
}

// Block emission and bit output. RecordSymbol lives in record_symbol.h so the
// match loop can inline it.
void FinishBlock(DeflateState* state, const std::uint8_t* data, std::uint32_t storedLength,
                 std::uint32_t last);
void EmitSymbols(DeflateState* state, const TreeNode* literalTree, const TreeNode* distanceTree);
std::int32_t EmitTreeHeader(DeflateState* state, std::int32_t literalCodes,
                            std::int32_t distanceCodes, std::int32_t lengthCodes);
std::int32_t EmitRunLengths(DeflateState* state, const TreeNode* tree, std::int32_t largest);
std::int32_t PutBits(DeflateState* state, std::uint32_t value, std::int32_t count);
void AlignOutput(DeflateState* state);
void EmitStoredBlock(DeflateState* state, const std::uint8_t* data, std::uint32_t length);

// Deflate data sent so far, counted from the trees; the whole stream's
// length once the final block is finished.
inline std::uint64_t DeflatedBytes(const DeflateState* state) {
  return state->outputBytes + (state->outputBitRemainder >> 3);
}

// The compression run. BeginEntryOutput clears the bit output and the size
// count for a new stream and sets its level (1 to 9); fileTypeWord receives
// the text-or-binary guess of the first block. StartMatcher clears the
// search and reads the first window.
void BeginEntryOutput(DeflateState* state, std::uint16_t* fileTypeWord, std::uint8_t level);
void StartMatcher(std::uint8_t level, DeflateState* state);
// Reads up to count bytes of input; 0 at its end or after a failure, which
// then sticks in the state.
std::uint32_t ReadInput(DeflateState* state, std::uint8_t* into, std::uint32_t count);
// The lazy run of levels 4 to 9 and the fast run of levels 1 to 3.
void CompressLazy(DeflateState* state);
void CompressFast(DeflateState* state);
// The near-optimal parse of level 9 (compress_best.cpp), and the slide of
// its tree with the window.
void CompressBest(DeflateState* state);
void SlideTree(DeflateState* state);
// Level 9 in pieces of kBestPieceBytes of input, each parsed on its own.
// ParseBestPiece parses the piece whose bytes source reads (from the
// piece's start: its pieceBytes bytes, then up to 258 more, or the input's
// end) on state, calling take with each chunk's symbols (the byte, or the
// length - 3, in the low 8 bits and the distance above them), the ones the
// parse of the whole input makes there; false when a read or take failed.
// A state whose block output sends them, its window read in order as for
// CompressBest (chainsKept 0: no tree to slide), takes each chunk with
// RecordBestChunk, ends each piece but the last with EndBestPiece and the
// stream with FinishBestStream; the first two return false when a read or
// the output failed.
struct BestSymbolSink {
  bool (*take)(void* context, const std::uint32_t* symbols, std::uint32_t count);
  void* context;
};
bool ParseBestPiece(DeflateState* state, DeflateSource source, std::uint64_t pieceBytes,
                    BestSymbolSink sink);
bool RecordBestChunk(DeflateState* state, const std::uint32_t* symbols, std::uint32_t count);
// Whether a chunk's symbols, parsed elsewhere, are what this state reads
// next (its window filled as for RecordBestChunk); false also when a read
// failed (the state's failed flag set).
bool BestChunkFits(DeflateState* state, const std::uint32_t* symbols, std::uint32_t count);
// Parses and sends the next piece, as CompressBest does; false when a read
// or the output failed.
bool CompressBestPiece(DeflateState* state);
bool EndBestPiece(DeflateState* state);
void FinishBestStream(DeflateState* state);
// The fast run's hash table (compress_fast.cpp): its size (tableBits) set
// and cleared for a new entry, from the input's length when it is wholly
// in the first window (else 0), and moved with the window's slide.
std::uint32_t TableBits(std::uint32_t wholeInput);
void ClearTable(DeflateState* state, std::uint32_t wholeInput);
void SlideTable(DeflateState* state);
// One piece of the fast run, its state set up to read the piece alone
// (windowBase at its start, the table clear): its symbols, each the byte or
// length - 3 in the low 8 bits, the distance in the next 16 (0 for a
// literal) and the distance's code in the top 8, into symbols (room for one
// per byte); returns their count.
std::uint32_t ParseFastPiece(DeflateState* state, std::uint32_t* symbols);
// The fast run through the state's blocks from a piece's start, where the
// state stands, to end (the piece's end in input offsets): the blocks stay
// open there, as alone.
void CompressFastPiece(DeflateState* state, std::uint64_t end);
// Sends symbols parsed elsewhere through the state's blocks with the steps
// of the fast run; false when one does not fit the input read here or the
// output failed.
bool ReplayFastSymbols(DeflateState* state, const std::uint32_t* symbols, std::uint32_t count);
// Ends the block collected from blockBegin up to scanPosition (last: the
// entry's final block). FinishMidBlock then starts the next block there and
// returns false when the output failed and the run must stop.
void FinishBlockHere(DeflateState* state, std::uint32_t last);
bool FinishMidBlock(DeflateState* state);
// RefillWindow for a loop that keeps the scan position, the bytes ahead and
// the match position in registers; false when the read failed and the run
// must stop.
bool RefillFromLoop(DeflateState* state, std::uint32_t* p, std::uint32_t* ahead,
                    std::uint32_t* matchPosition);
void RefillWindow(DeflateState* state);

}  // namespace zf
