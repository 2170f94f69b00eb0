// Sending a finished block as stored, fixed or dynamic deflate data through
// the bit writer into the output buffer and on to the sink.
#include <bit>
#include <cassert>
#include <cstring>

#include "deflate/deflate_internal.h"

namespace zf {
namespace {

// Hands the output buffer to the sink. The buffer counts as empty
// afterwards even when the write failed. After a failure it also has no
// capacity left: every later store first tries a hand-over, which fails,
// so nothing more enters the buffer.
bool FlushOutput(DeflateState* state) {
  if (state->outFill != 0 && !state->failed) {
#ifndef NDEBUG
    state->handedBytes += state->outFill;
#endif
    if (!state->sink.write(state->sink.context, state->outBuffer, state->outFill)) {
      state->failed = true;
    }
  }
  state->outFill = 0;
  if (!state->failed) return true;
  state->outCapacity = 0;
  return false;
}

// The bit writer's registers, held in locals while a block is sent so that
// the byte stores into the output cannot force them back to memory. The
// buffer is wider than the record's so that a whole match fits before its
// bytes leave; they leave in the same pairs as through PutBits.
struct BitCursor {
  std::uint64_t buffer;
  std::int32_t count;
  std::uint32_t fill;
  std::uint8_t* out;
  std::uint32_t capacity;
};

inline BitCursor LoadCursor(const DeflateState* state) {
  return {state->bitBuffer, state->bitCount, state->outFill, state->outBuffer, state->outCapacity};
}

inline void StoreCursor(DeflateState* state, const BitCursor& bits) {
  state->bitBuffer = static_cast<std::uint32_t>(bits.buffer);
  state->bitCount = bits.count;
  state->outFill = bits.fill;
}

inline void AddBits(BitCursor* bits, std::uint32_t value, std::int32_t count) {
  bits->buffer |= std::uint64_t{value} << bits->count;
  bits->count += count;
}

// Up to 16 bits stay pending; beyond that they leave two bytes at a time.
inline bool DrainBits(DeflateState* state, BitCursor* bits) {
  if (bits->count <= 16) return true;
  if constexpr (std::endian::native == std::endian::little) {
    // Far from the buffer's end all due pairs leave in one store; the bytes
    // it writes beyond them are overwritten by the next.
    if (bits->fill + 8 <= bits->capacity) {
      const std::int32_t pairs = (bits->count - 1) >> 4;
      std::memcpy(bits->out + bits->fill, &bits->buffer, 8);
      bits->fill += 2 * static_cast<std::uint32_t>(pairs);
      bits->buffer >>= 16 * pairs;
      bits->count -= 16 * pairs;
      return true;
    }
  }
  while (bits->count > 16) {
    if (bits->fill + 1 >= bits->capacity) {
      state->outFill = bits->fill;
      const bool written = FlushOutput(state);
      bits->fill = 0;
      if (!written) {
        // These bits can never be sent.
        bits->buffer = 0;
        bits->count = 0;
        bits->capacity = 0;
        return false;
      }
    }
    bits->out[bits->fill] = static_cast<std::uint8_t>(bits->buffer);
    bits->out[bits->fill + 1] = static_cast<std::uint8_t>(bits->buffer >> 8);
    bits->fill += 2;
    bits->buffer >>= 16;
    bits->count -= 16;
  }
  return true;
}

// In a block's symbols: whole bytes leave after every symbol, all at once, so
// no more than seven bits stay pending. Far from the buffer's end one store
// of eight bytes does it, without a test of the count; the bytes beyond the
// whole ones are overwritten by the next. Elsewhere, as DrainBits.
inline bool DrainBytes(DeflateState* state, BitCursor* bits) {
  if constexpr (std::endian::native == std::endian::little) {
    if (bits->fill + 8 <= bits->capacity) [[likely]] {
      std::memcpy(bits->out + bits->fill, &bits->buffer, 8);
      const std::uint32_t bytes = static_cast<std::uint32_t>(bits->count) >> 3;
      bits->fill += bytes;
      // In two steps: all 64 bits may be whole bytes.
      bits->buffer = (bits->buffer >> (4 * bytes)) >> (4 * bytes);
      bits->count &= 7;
      return true;
    }
  }
  return DrainBits(state, bits);
}

inline void AddSymbol(BitCursor* bits, const TreeNode* tree, std::uint32_t symbol) {
  AddBits(bits, tree[symbol].code, tree[symbol].length);
}

bool PushBlockSymbols(DeflateState* state, BitCursor* cursor, const TreeNode* literalTree,
                      const TreeNode* distanceTree) {
  BitCursor bits = *cursor;
  const std::uint32_t symbols = state->symbolCount;
  const std::uint16_t* distances = state->distanceBuffer;
  // Each match length's code and extra bits as one piece, so that a match
  // costs one lookup for its length.
  struct LengthBits {
    std::uint32_t bits;
    std::int32_t count;
  };
  LengthBits lengthBits[256];
  for (std::uint32_t value = 0; value < 256; ++value) {
    const std::uint32_t c = state->lengthToCode[value];
    const TreeNode& node = literalTree[kFirstLengthSymbol + c];
    if (node.length > kMaxCodeBits) {
      // A code past the block's largest may hold the guard that counting the
      // runs left there; the block never sends it.
      lengthBits[value] = {0, 0};
      continue;
    }
    // The longest match has a code of its own and no extra bits.
    const std::uint32_t extra =
        lengthExtraBits[c] != 0 ? value - static_cast<std::uint32_t>(state->lengthBase[c]) : 0;
    lengthBits[value] = {node.code | (extra << node.length), node.length + lengthExtraBits[c]};
  }
  const std::uint8_t* values = state->symbolBuffer;
  auto push = [&](std::uint32_t value, bool match) {
    if (!match) {
      AddSymbol(&bits, literalTree, value);
    } else {
      // At most 15 + 5 + 15 + 13 bits join the 16 pending: 64 in all.
      AddBits(&bits, lengthBits[value].bits, lengthBits[value].count);
      const std::uint32_t d = *distances++;
      const std::uint32_t e = DistanceCode(state, d);
      AddSymbol(&bits, distanceTree, e);
      AddBits(&bits, d - static_cast<std::uint32_t>(state->distanceBase[e]), distanceExtraBits[e]);
    }
    return DrainBytes(state, &bits);
  };
  // Eight symbols per flag byte, unrolled; after a failed drain the rest
  // only fail again, so the outcome is looked at once per byte.
  bool sent = true;
  std::uint32_t i = 0;
  for (; i + 8 <= symbols && sent; i += 8) {
    const std::uint32_t flags = state->flagBuffer[i >> 3];
    bool all = true;
#pragma GCC unroll 8
    for (std::uint32_t k = 0; k < 8; ++k) all &= push(values[i + k], ((flags >> k) & 1) != 0);
    sent = all;
  }
  for (; i < symbols && sent; ++i) {
    sent = push(values[i], ((state->flagBuffer[i >> 3] >> (i & 7)) & 1) != 0);
  }
  if (sent) {
    AddSymbol(&bits, literalTree, kEndOfBlock);
    sent = DrainBits(state, &bits);
  } else {
    // As after the failed drain: the symbols pushed after it keep nothing.
    bits.buffer = 0;
    bits.count = 0;
  }
  *cursor = bits;
  return sent;
}

// The code lengths of tree up to largest as runs, through the bit writer's
// registers held in locals as for a block's symbols.
bool PushRunLengths(DeflateState* state, BitCursor* bits, const TreeNode* tree,
                    std::int32_t largest) {
  const TreeNode* lengths = state->lengthCodeTree;
  std::int32_t previous = -1;
  std::int32_t next = tree[0].length;
  std::uint32_t count = 0;
  RunLimits limits = NextRunLimits(-1, next);
  // A length code of up to 7 bits and up to 7 extra bits join the 16 pending.
  auto send = [&](std::uint32_t symbol, std::uint32_t extra, std::int32_t extraBits) {
    AddSymbol(bits, lengths, symbol);
    AddBits(bits, extra, extraBits);
    return DrainBits(state, bits);
  };

  // CountRunLengths left its guard after largest, so the runs match it.
  for (std::int32_t n = 0; n <= largest; ++n) {
    const std::int32_t current = next;
    next = tree[n + 1].length;
    if (++count < limits.maxCount && current == next) continue;
    const auto symbol = static_cast<std::uint32_t>(current);
    if (count < limits.minCount) {
      do {
        if (!send(symbol, 0, 0)) return false;
      } while (--count != 0);
    } else if (current != 0) {
      if (current != previous) {
        if (!send(symbol, 0, 0)) return false;
        --count;
      }
      if (!send(16, count - 3, 2)) return false;
    } else if (count <= 10) {
      if (!send(17, count - 3, 3)) return false;
    } else {
      if (!send(18, count - 11, 7)) return false;
    }
    count = 0;
    previous = current;
    limits = NextRunLimits(current, next);
  }
  return true;
}

}  // namespace

std::int32_t PutBits(DeflateState* state, std::uint32_t value, std::int32_t count) {
  BitCursor bits = LoadCursor(state);
  AddBits(&bits, value, count);
  const bool sent = DrainBits(state, &bits);
  StoreCursor(state, bits);
  return sent ? 1 : 0;
}

void AlignOutput(DeflateState* state) {
  const std::int32_t pending = state->bitCount;
  const std::uint32_t bytes = pending > 8 ? 2 : pending > 0 ? 1 : 0;
  // Once the output has failed nothing more goes into the buffer.
  const bool room =
      !state->failed && (state->outCapacity - state->outFill >= bytes || FlushOutput(state));
  if (room) {
    if (bytes > 0) state->outBuffer[state->outFill++] = static_cast<std::uint8_t>(state->bitBuffer);
    if (bytes > 1) {
      state->outBuffer[state->outFill++] = static_cast<std::uint8_t>(state->bitBuffer >> 8);
    }
    FlushOutput(state);
  }
  state->bitCount = 0;
  state->outFill = 0;
  state->bitBuffer = 0;
}

void EmitStoredBlock(DeflateState* state, const std::uint8_t* data, std::uint32_t length) {
  AlignOutput(state);
  if (state->failed) return;
  std::uint8_t* out = state->outBuffer;
  out[0] = static_cast<std::uint8_t>(length);
  out[1] = static_cast<std::uint8_t>(length >> 8);
  out[2] = static_cast<std::uint8_t>(~length);
  out[3] = static_cast<std::uint8_t>(~length >> 8);
  state->outFill = 4;
  FlushOutput(state);
  if (length != 0 && !state->failed) {
#ifndef NDEBUG
    state->handedBytes += length;
#endif
    if (!state->sink.write(state->sink.context, data, length)) state->failed = true;
  }
}

void EmitSymbols(DeflateState* state, const TreeNode* literalTree, const TreeNode* distanceTree) {
  BitCursor bits = LoadCursor(state);
  PushBlockSymbols(state, &bits, literalTree, distanceTree);
  StoreCursor(state, bits);
}

std::int32_t EmitRunLengths(DeflateState* state, const TreeNode* tree, std::int32_t largest) {
  BitCursor bits = LoadCursor(state);
  const bool sent = PushRunLengths(state, &bits, tree, largest);
  StoreCursor(state, bits);
  return sent ? 1 : 0;
}

std::int32_t EmitTreeHeader(DeflateState* state, std::int32_t literalCodes,
                            std::int32_t distanceCodes, std::int32_t lengthCodes) {
  BitCursor bits = LoadCursor(state);
  AddBits(&bits, static_cast<std::uint32_t>(literalCodes - 257), 5);
  AddBits(&bits, static_cast<std::uint32_t>(distanceCodes - 1), 5);
  AddBits(&bits, static_cast<std::uint32_t>(lengthCodes - 4), 4);
  bool sent = DrainBits(state, &bits);
  for (std::int32_t i = 0; i < lengthCodes && sent; ++i) {
    AddBits(&bits, state->lengthCodeTree[codeLengthOrder[i]].length, 3);
    sent = DrainBits(state, &bits);
  }
  sent = sent && PushRunLengths(state, &bits, state->literalTree, literalCodes - 1) &&
         PushRunLengths(state, &bits, state->distanceTree, distanceCodes - 1);
  StoreCursor(state, bits);
  return sent ? 1 : 0;
}

void FinishBlock(DeflateState* state, const std::uint8_t* data, std::uint32_t storedLength,
                 std::uint32_t last) {
  state->flagBuffer[state->flagByteCount] = state->pendingFlags;
  if (*state->fileTypeWord == 0xFFFF) GuessTextOrBinary(state);

  BuildCode(state, &state->literalDesc);
  BuildCode(state, &state->distanceDesc);
  const std::int32_t lastLengthCode = BuildLengthTree(state);

  const std::uint32_t dynamicBytes = (state->dynamicBlockBits + 3 + 7) >> 3;
  const std::uint32_t fixedBytes = (state->fixedBlockBits + 3 + 7) >> 3;
  const std::uint32_t best = fixedBytes <= dynamicBytes ? fixedBytes : dynamicBytes;

  if (storedLength + 4 <= best && data != nullptr) {
    PutBits(state, last, 3);
    state->outputBytes += ((state->outputBitRemainder + 3 + 7) >> 3) + storedLength + 4;
    state->outputBitRemainder = 0;
    EmitStoredBlock(state, data, storedLength);
  } else {
    if (fixedBytes == best) {
      if (PutBits(state, 2 + last, 3) != 0) {
        EmitSymbols(state, state->fixedLiteralTree, state->fixedDistanceTree);
      }
      state->outputBitRemainder += state->fixedBlockBits + 3;
    } else {
      if (PutBits(state, 4 + last, 3) != 0 &&
          EmitTreeHeader(state, state->literalDesc.largestCode + 1,
                         state->distanceDesc.largestCode + 1, lastLengthCode + 1) != 0) {
        EmitSymbols(state, state->literalTree, state->distanceTree);
      }
      state->outputBitRemainder += state->dynamicBlockBits + 3;
    }
    state->outputBytes += state->outputBitRemainder >> 3;
    state->outputBitRemainder &= 7;
  }
  if (state->failed) return;

  ResetBlock(state);
  if (last != 0) {
    AlignOutput(state);
    state->outputBitRemainder += 7;
  }
#ifndef NDEBUG
  // The size comes from the trees' bit counts, never from the output, so a
  // counting fault would corrupt the headers silently.
  if (!state->failed) {
    if (last != 0) {
      assert(state->handedBytes == DeflatedBytes(state));
    } else {
      const std::uint64_t sent = (std::uint64_t{state->handedBytes} + state->outFill) * 8 +
                                 static_cast<std::uint64_t>(state->bitCount);
      assert(sent == std::uint64_t{state->outputBytes} * 8 + state->outputBitRemainder);
    }
  }
#endif
}

}  // namespace zf
