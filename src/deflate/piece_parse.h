// The parse of one large input in pieces on several threads, for levels
// whose parse restarts at fixed input offsets: each piece's symbols are
// then a function of its own bytes, so the pieces are parsed anywhere and
// their symbols joined in order, with no guess and no check of a join.
#pragma once

#include <cstdint>

#include "deflate/deflate_state.h"
#include "platform/platform.h"

namespace zf {

struct ParseCrew;
struct SegmentBoard;
struct PieceBoard;

// Whether the level's parse restarts at fixed offsets: the fast levels
// (compress_fast.cpp) and level 9 (compress_best.cpp).
inline bool RestartsAtOffsets(std::uint8_t level) { return UsesTable(level) || ParsesBest(level); }
// The input between two of its restarts.
inline std::uint64_t PieceBytes(std::uint8_t level) {
  return ParsesBest(level) ? kBestPieceBytes : kRestartBytes;
}

// Deflates the state's source like DeflateStream, its sink receiving the
// same bytes, with pieces parsed by the crew from file (read at positions;
// size is what the input is expected to hold). shell is what the crew is
// offered; its pieces field is set to the board while it is offered. The
// outcome as DeflateInSegments'.
std::int32_t DeflateInPieces(DeflateState* state, std::uint8_t level, std::uint16_t* fileTypeWord,
                             const ParseCrew* crew, SegmentBoard* shell, PieceBoard** offered,
                             OsFile file, std::uint64_t size, std::int32_t* systemError);

// A helper's part: parses one piece; false when there is none to take now.
bool HelpWithPieces(PieceBoard* board);
bool PieceWorkWaiting(PieceBoard* board);

}  // namespace zf
