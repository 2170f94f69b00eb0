// The compressor's operations behind DeflateEntry, reachable by the tests.
#pragma once

#include <cstdint>

#include "deflate/deflate_state.h"
#include "zipwriter/zip_writer.h"

namespace zf {

// Huffman trees and the fixed code tables.
void BuildFixedTables(DeflateState* state);
void ResetBlock(DeflateState* state);
void BuildHuffmanTree(DeflateState* state, TreeDescriptor* descriptor);
void SiftDown(DeflateState* state, TreeNode* tree, std::int32_t index);
void LimitCodeLengths(DeflateState* state, TreeDescriptor* descriptor);
void AssignCodes(DeflateState* state, TreeNode* tree, std::int32_t largest);
void CountRunLengths(DeflateState* state, TreeNode* tree, std::int32_t largest);
std::int32_t BuildLengthTree(DeflateState* state);
void GuessTextOrBinary(DeflateState* state);

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

// The compression run. BeginEntryOutput clears the bit output and the size
// count for a new entry.
void BeginEntryOutput(DeflateState* state, ZipEntry* entry);
void StartMatcher(ZipEntry* entry, std::uint8_t level, DeflateState* state);
void CompressLazy(DeflateState* state);
std::uint32_t FindLongestMatch(DeflateState* state, std::uint32_t candidate);
void RefillWindow(DeflateState* state);

}  // namespace zf
