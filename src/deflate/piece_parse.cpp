// One large input on several threads at a level whose parse restarts at
// fixed offsets (piece_parse.h). Any thread takes the next piece within the
// look-ahead, reads it at positions and parses it into a list of symbols;
// the owner's thread reads the input in order, as the compressor alone
// does, and sends each piece's symbols in turn through its block output
// with the run's own steps (ReplayFastSymbols; level 9 chunk by chunk,
// RecordBestChunk), so blocks end and the window slides where they would
// alone. Every symbol is checked against
// what the owner read: a file that changed while it was read makes
// ErrChanged, never an archive whose data differs from its CRC. While no
// other thread is free to help (the others have files of their own) and no
// piece was taken ahead, the owner runs each piece straight through its
// blocks, as the compressor alone does, and asks again at the next; else,
// while it waits for a piece, it parses the next ones itself.
//
// Memory: per piece in flight a compressor state and four bytes per input
// byte for its symbols (level 9: four per symbol, as many as its path
// holds); at most the helpers + 4 pieces are in flight.
#include "deflate/piece_parse.h"

#include <cstdint>
#include <cstring>

#include "deflate/deflate.h"
#include "deflate/deflate_internal.h"
#include "deflate/segment_parse.h"
#include "zipwriter/failure.h"

namespace zf {

namespace {

constexpr std::uint32_t kMostSpareStates = 8;
// Pieces may be taken this many more than there are helpers ahead of the one
// being sent: a helper finds work at once after each piece, without waiting
// to be woken when the owner moves on.
constexpr std::uint32_t kLookaheadBeyondHelpers = 3;
// Level 9's list of a piece's symbols ends each chunk with this word (no
// symbol has a distance that large), since each chunk is sent on its own.
constexpr std::uint32_t kChunkEnd = 0xFFFFFFFF;

enum class Stage : std::uint8_t { kWaiting, kTaken, kParsed, kNoMemory, kFailedRead };

struct Piece {
  std::uint32_t* symbols;
  std::uint32_t count;
  Stage stage;
  std::int32_t systemError;
};

// Reads one piece at positions, as if the input ended at its end.
struct PieceInput {
  OsFile file;
  std::uint64_t position;
  std::uint64_t end;
};

bool ReadPiece(void* context, std::uint8_t* into, std::uint32_t count, std::uint32_t* got) {
  auto* input = static_cast<PieceInput*>(context);
  const std::uint64_t left = input->end - input->position;
  if (count > left) count = static_cast<std::uint32_t>(left);
  *got = 0;
  if (count == 0) return true;
  if (!OsReadAt(input->file, input->position, into, count, got)) return false;
  input->position += *got;
  return true;
}

// Level 9's symbols of one piece, chunk after chunk, in a list that grows
// as the path needs.
struct ChunkList {
  std::uint32_t* words;
  std::uint32_t count;
  std::uint32_t capacity;
  bool noMemory;
};

bool TakeChunk(void* context, const std::uint32_t* symbols, std::uint32_t count) {
  auto* list = static_cast<ChunkList*>(context);
  const std::uint64_t needed = std::uint64_t{list->count} + count + 1;
  if (needed > list->capacity) {
    std::uint64_t capacity = std::uint64_t{list->capacity} * 2;
    if (capacity < needed) capacity = needed;
    // The most words a count holds and an allocation's size can express.
    constexpr std::uint64_t kMostWords = SIZE_MAX / sizeof(std::uint32_t) < 0xFFFFFFFFu
                                             ? SIZE_MAX / sizeof(std::uint32_t)
                                             : 0xFFFFFFFFu;
    if (capacity > kMostWords) capacity = kMostWords;
    if (needed > capacity) {
      list->noMemory = true;
      return false;
    }
    auto* words = static_cast<std::uint32_t*>(
        OsAllocate(static_cast<std::size_t>(sizeof(std::uint32_t) * capacity)));
    if (words == nullptr) {
      list->noMemory = true;
      return false;
    }
    if (list->count != 0) std::memcpy(words, list->words, sizeof(std::uint32_t) * list->count);
    OsRelease(list->words);
    list->words = words;
    list->capacity = static_cast<std::uint32_t>(capacity);
  }
  if (count != 0) std::memcpy(list->words + list->count, symbols, sizeof(std::uint32_t) * count);
  list->count += count;
  list->words[list->count++] = kChunkEnd;
  return true;
}

// Parses level 9's piece from start to end into a list; its stage.
Stage ParseBestSymbols(DeflateState* state, OsFile file, std::uint64_t start, std::uint64_t end,
                       std::uint64_t size, Piece* piece) {
  // The piece's parse reads up to a longest match past its end.
  PieceInput input{file, start, end + kLongestMatch < size ? end + kLongestMatch : size};
  ChunkList list{nullptr, 0, 0, false};
  const bool parsed = ParseBestPiece(state, {ReadPiece, &input}, end - start, {TakeChunk, &list});
  piece->symbols = list.words;
  piece->count = list.count;
  if (parsed) return Stage::kParsed;
  return list.noMemory && !state->failed ? Stage::kNoMemory : Stage::kFailedRead;
}

// Parses a fast level's piece from start to end into a list; its stage.
Stage ParseFastSymbols(DeflateState* state, OsFile file, std::uint8_t level, std::uint64_t start,
                       std::uint64_t end, std::uint64_t size, Piece* piece) {
  piece->symbols = static_cast<std::uint32_t*>(
      OsAllocate(sizeof(std::uint32_t) * static_cast<std::size_t>(end - start)));
  if (piece->symbols == nullptr) return Stage::kNoMemory;
  PieceInput input{file, start, end};
  state->source = {ReadPiece, &input};
  state->failed = false;
  state->chainsKept = 1;
  // The distance codes come from the tables a fresh state builds first.
  if (state->fixedDistanceTree[0].length == 0) BuildFixedTables(state);
  StartMatcher(level, state);
  // The table's size as the compressor alone sets it: from the input's
  // length when the first window holds it whole (then one piece), else
  // the full size.
  state->windowBase = start;
  ClearTable(state, size < kWindowSize ? static_cast<std::uint32_t>(size) : 0);
  if (!state->failed) piece->count = ParseFastPiece(state, piece->symbols);
  return state->failed ? Stage::kFailedRead : Stage::kParsed;
}

// Sends a piece of level 9's chunks, each checked against what this state
// reads; false when they differ (or a read or the output failed: the
// state's failed flag says which).
bool ReplayBestChunks(DeflateState* state, const std::uint32_t* words, std::uint32_t count) {
  std::uint32_t begin = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (words[i] != kChunkEnd) continue;
    if (!BestChunkFits(state, words + begin, i - begin) ||
        !RecordBestChunk(state, words + begin, i - begin)) {
      return false;
    }
    begin = i + 1;
  }
  return true;
}

}  // namespace

struct PieceBoard {
  // Set before the board is offered, read-only after.
  OsMonitor* monitor;
  OsFile file;  // read at positions
  std::uint64_t size;
  std::uint8_t level;
  std::uint64_t pieceBytes;
  std::uint32_t pieceCount;
  std::uint32_t lookahead;
  // Under the monitor:
  Piece* pieces;
  std::uint32_t nextPiece;  // the first not yet taken
  std::uint32_t sending;    // the piece the owner sends or waits for
  std::uint32_t sleepers;
  bool stopping;
  DeflateState* spares[kMostSpareStates];
  std::uint32_t spareCount;
};

namespace {

// Under the monitor: the next piece to parse, marked taken; false when none
// is within the look-ahead.
bool TakePiece(PieceBoard* board, std::uint32_t* index) {
  if (board->stopping || board->nextPiece >= board->pieceCount ||
      board->nextPiece > board->sending + board->lookahead) {
    return false;
  }
  *index = board->nextPiece++;
  board->pieces[*index].stage = Stage::kTaken;
  return true;
}

void Wake(PieceBoard* board) {
  if (board->sleepers != 0) OsWakeMonitor(board->monitor);
}

// Parses a taken piece, with the monitor held on entry and on return.
void ParsePiece(PieceBoard* board, std::uint32_t index) {
  DeflateState* state = board->spareCount != 0 ? board->spares[--board->spareCount] : nullptr;
  OsLeaveMonitor(board->monitor);
  const std::uint64_t start = index * board->pieceBytes;
  const std::uint64_t end =
      start + board->pieceBytes < board->size ? start + board->pieceBytes : board->size;
  if (state == nullptr) state = AllocateDeflateState();
  Piece parsed{};
  Stage stage = Stage::kNoMemory;
  if (state != nullptr) {
    state->sink = {nullptr, nullptr};
    stage =
        ParsesBest(board->level)
            ? ParseBestSymbols(state, board->file, start, end, board->size, &parsed)
            : ParseFastSymbols(state, board->file, board->level, start, end, board->size, &parsed);
  }
  std::uint32_t* symbols = parsed.symbols;
  const std::uint32_t count = parsed.count;
  const std::int32_t systemError = stage == Stage::kFailedRead ? OsLastError() : 0;
  if (stage != Stage::kParsed) {
    OsRelease(symbols);
    symbols = nullptr;
  }
  OsEnterMonitor(board->monitor);
  if (state != nullptr && board->spareCount < kMostSpareStates) {
    board->spares[board->spareCount++] = state;
  } else {
    OsRelease(state);
  }
  Piece& piece = board->pieces[index];
  piece.symbols = symbols;
  piece.count = count;
  piece.stage = stage;
  piece.systemError = systemError;
  Wake(board);
}

PieceBoard* CreateBoard(const ParseCrew* crew, std::uint8_t level, OsFile source,
                        std::uint64_t size) {
  const std::uint64_t pieceBytes = PieceBytes(level);
  const std::uint64_t pieces = (size + pieceBytes - 1) / pieceBytes;
  if (pieces > 0x7FFFFFFF) return nullptr;
  auto* board = static_cast<PieceBoard*>(OsAllocate(sizeof(PieceBoard)));
  if (board == nullptr) return nullptr;
  std::memset(board, 0, sizeof *board);
  board->pieceCount = static_cast<std::uint32_t>(pieces);
  board->pieces = static_cast<Piece*>(OsAllocate(sizeof(Piece) * board->pieceCount));
  board->monitor = OsCreateMonitor();
  board->file = OsReopenForReadsAt(source);
  if (board->pieces == nullptr || board->monitor == nullptr || board->file == kNoFile) {
    OsClose(board->file);
    if (board->monitor != nullptr) OsDestroyMonitor(board->monitor);
    OsRelease(board->pieces);
    OsRelease(board);
    return nullptr;
  }
  std::memset(board->pieces, 0, sizeof(Piece) * board->pieceCount);
  board->size = size;
  board->level = level;
  board->pieceBytes = pieceBytes;
  board->lookahead = crew->helpers + kLookaheadBeyondHelpers;
  return board;
}

void DestroyBoard(PieceBoard* board) {
  for (std::uint32_t i = 0; i < board->pieceCount; ++i) OsRelease(board->pieces[i].symbols);
  for (std::uint32_t i = 0; i < board->spareCount; ++i) OsRelease(board->spares[i]);
  OsClose(board->file);
  OsDestroyMonitor(board->monitor);
  OsRelease(board->pieces);
  OsRelease(board);
}

// Under the monitor: waits, helping meanwhile, until piece index is parsed
// or cannot be; its outcome.
std::int32_t AwaitPiece(PieceBoard* board, std::uint32_t index, std::int32_t* systemError) {
  Piece& piece = board->pieces[index];
  for (;;) {
    switch (piece.stage) {
      case Stage::kParsed:
        return ErrNone;
      case Stage::kFailedRead:
        *systemError = piece.systemError;
        return ErrRead;
      case Stage::kNoMemory:
        // A helper was short of memory: the owner tries once itself.
        if (board->nextPiece > index) {
          piece.stage = Stage::kTaken;
          ParsePiece(board, index);
          if (piece.stage == Stage::kNoMemory) return ErrNoMemory;
          continue;
        }
        break;
      default:
        break;
    }
    std::uint32_t other = 0;
    if (TakePiece(board, &other)) {
      ParsePiece(board, other);
    } else {
      board->sleepers += 1;
      OsWaitMonitor(board->monitor);
      board->sleepers -= 1;
    }
  }
}

}  // namespace

std::int32_t DeflateInPieces(DeflateState* state, std::uint8_t level, std::uint16_t* fileTypeWord,
                             const ParseCrew* crew, SegmentBoard* shell, PieceBoard** offered,
                             OsFile file, std::uint64_t size, std::int32_t* systemError) {
  *systemError = 0;
  BeginEntryOutput(state, fileTypeWord, level);
  StartMatcher(level, state);
  if (state->failed) return ErrNone;
  const bool best = ParsesBest(level);
  PieceBoard* board = CreateBoard(crew, level, file, size);
  if (board == nullptr) {
    // Without the means to split, the input goes alone.
    if (best) {
      CompressBest(state);
    } else {
      CompressFast(state);
    }
    return ErrNone;
  }
  // The window is read in order here and slides without the table.
  state->chainsKept = 0;
  *offered = board;
  crew->offer(crew->context, shell);
  std::int32_t code = ErrNone;
  for (std::uint32_t i = 0; i < board->pieceCount && code == ErrNone; ++i) {
    // Asked before the board's monitor is taken: the crew answers under a
    // lock of its own, which its threads hold while they look at the board.
    const bool helpAtHand = crew->helpAtHand == nullptr || crew->helpAtHand(crew->context);
    OsEnterMonitor(board->monitor);
    board->sending = i;
    // No piece taken ahead and no thread free to help: this one goes
    // straight through the blocks, as alone, without a list of symbols.
    if (board->nextPiece == i && !helpAtHand) {
      board->nextPiece = i + 1;
      board->pieces[i].stage = Stage::kTaken;
      OsLeaveMonitor(board->monitor);
      const std::uint64_t end = (i + 1) * board->pieceBytes;
      state->chainsKept = 1;
      if (best) {
        CompressBestPiece(state);
      } else {
        CompressFastPiece(state, end < size ? end : size);
      }
      state->chainsKept = 0;
      if (state->failed) break;
      if (best && i + 1 < board->pieceCount && !EndBestPiece(state)) break;
      continue;
    }
    code = AwaitPiece(board, i, systemError);
    const Piece piece = board->pieces[i];
    OsLeaveMonitor(board->monitor);
    if (code != ErrNone) break;
    // Sending this piece lets the look-ahead move on.
    crew->wake(crew->context);
    bool fits = best ? ReplayBestChunks(state, piece.symbols, piece.count)
                     : ReplayFastSymbols(state, piece.symbols, piece.count);
    if (best && fits && i + 1 < board->pieceCount) fits = EndBestPiece(state);
    OsEnterMonitor(board->monitor);
    OsRelease(board->pieces[i].symbols);
    board->pieces[i].symbols = nullptr;
    OsLeaveMonitor(board->monitor);
    if (!fits && !state->failed) code = ErrChanged;
    if (state->failed) break;
  }
  OsEnterMonitor(board->monitor);
  board->stopping = true;
  Wake(board);
  OsLeaveMonitor(board->monitor);
  // Helpers see stopping at their next look; then none is inside.
  crew->withdraw(crew->context, shell);
  *offered = nullptr;
  DestroyBoard(board);
  state->chainsKept = 1;
  if (code != ErrNone || state->failed) return code;
  // The pieces ended where the input read here ends.
  if (state->bytesAhead != 0) return ErrChanged;
  if (best) {
    FinishBestStream(state);
  } else {
    FinishBlockHere(state, 1);
  }
  return ErrNone;
}

bool HelpWithPieces(PieceBoard* board) {
  OsEnterMonitor(board->monitor);
  std::uint32_t index = 0;
  const bool took = TakePiece(board, &index);
  if (took) ParsePiece(board, index);
  OsLeaveMonitor(board->monitor);
  return took;
}

bool PieceWorkWaiting(PieceBoard* board) {
  OsEnterMonitor(board->monitor);
  const bool waiting = !board->stopping && board->nextPiece < board->pieceCount &&
                       board->nextPiece <= board->sending + board->lookahead;
  OsLeaveMonitor(board->monitor);
  return waiting;
}

}  // namespace zf
