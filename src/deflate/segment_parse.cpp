// One large input on several threads, with the bytes of the compressor
// alone. The input is cut into segments; any thread may parse a segment
// from a guessed start (nothing deferred, no literal pending, the chains
// warmed by entering the 32 KB before it), while the true parse, which
// starts at the input's start, goes on. When the true parse comes to a
// segment that another parse started, it looks for the first point where
// both stand at the same position just after a match: from there on the
// other parse is the true one (lazy_run.h says why), and the true parse
// hands over to it. Where no such point comes within the segment, the
// true parse goes on through it alone, and the other is dropped.
//
// The joined symbols are sent on the owner's thread, as the compressor
// alone would send them: the same steps of the window (a refill wherever
// fewer than 262 bytes are left ahead after a step), so that blocks end
// where they would and may be stored while their bytes are in the window,
// through the same block output. That thread reads the input in order, as
// the compressor alone does, and checks every symbol against what it read:
// a file that changed while it was read makes ErrChanged, never an archive
// whose data differs from its CRC.
//
// While no other thread is free to help (the others have files of their
// own), the owner's thread parses alone, into its block output as the
// compressor alone does, and asks at each segment's end; once help is at
// hand, the true parse moves onto a board at the first point just after a
// match (a copy of the state goes on as the leader), and the owner's state
// goes on sending. So a large file costs nothing extra while the threads
// are busy anyway.
//
// Who does what, all under the board's monitor: the true parse (the
// leader) advances one segment per turn and pauses at each segment's end;
// a parse from a guessed start runs to its segment's end and pauses there
// until it becomes the leader or is dropped. Any thread takes the next
// turn: the paused leader first, else a new segment within the look-ahead.
// Memory: per parse a compressor state and its symbols, four bytes each;
// at most the look-ahead's parses (helpers + 3) live beside the leader,
// which stays within four segments of what has been sent.
#include "deflate/segment_parse.h"

#include <cstddef>
#include <cstring>

#include "deflate/deflate.h"
#include "deflate/deflate_internal.h"
#include "deflate/hash_chains.h"
#include "deflate/lazy_run.h"
#include "deflate/piece_parse.h"
#include "deflate/record_symbol.h"
#include "zipwriter/failure.h"

namespace zf {

// ---------------------------------------------------------------------------
// Records

namespace {

// A symbol as parsed: the byte or length - 3 in the low 8 bits, the
// distance above them (0 for a literal).
constexpr std::uint32_t kChunkSymbols = 16384;
// A parse makes its symbols visible to others, and looks whether it is
// still wanted, every this many.
constexpr std::uint32_t kPublishEvery = 1024;
constexpr std::uint32_t kMostSpares = 8;
// Chunks let go of are kept for reuse up to this many (4 MB): fresh memory
// costs a page fault per page written.
constexpr std::uint32_t kMostSpareChunks = 64;
constexpr std::uint64_t kNoPause = ~std::uint64_t{0};
// Guessed parses may start this many segments more than there are helpers
// ahead of the leader's: a helper that finds the next segment taken goes on
// to the one after, and the pipeline never waits for a start. Each costs a
// compressor state and its segment's symbols while it waits.
constexpr std::uint32_t kLookaheadBeyondHelpers = 3;
// The leader goes on only while it is less than this many segments ahead of
// what has been sent: the symbols waiting to be sent stay bounded, whatever
// the owner's thread is doing meanwhile.
constexpr std::uint64_t kLeaderLead = 4;
// How far a guessed parse's segment ends before the input's end, at least:
// its last match may reach 258 bytes past it, and the search looks 262
// bytes ahead of each position.
constexpr std::uint64_t kClearOfEnd = 1024;

struct SymbolChunk {
  SymbolChunk* next;
  std::uint32_t symbols[kChunkSymbols];
};

inline std::uint32_t SymbolLength(std::uint32_t symbol) {
  return (symbol >> 8) == 0 ? 1 : (symbol & 0xFF) + kShortestMatch;
}

struct PositionedInput {
  OsFile file;
  std::uint64_t position;
};

struct Parse {
  Parse* nextOnBoard;  // under the monitor: every parse of the board, freed at its end
  // The parse's own thread only (one at a time, while running):
  DeflateState* state;
  PositionedInput input;
  SymbolChunk* last;   // the chunk being filled
  std::uint32_t fill;  // symbols in last
  std::uint64_t count;
  // Under the monitor:
  SymbolChunk* first;  // holds symbol firstIndex on
  std::uint64_t firstIndex;
  std::uint64_t published;  // symbols others may read
  std::uint64_t start;      // input offset of its first symbol
  std::uint64_t pausedAt;   // where its last turn paused
  bool running;
  bool watched;  // the leader reads its symbols: they stay
  bool leader;
  bool dropped;  // no longer wanted: it stops at its next publication
  bool ended;    // reached the input's end; its stream ends at published
  // The hand-over: after handoverAt symbols the true stream goes on in
  // handoverTo from its symbol handoverFrom.
  Parse* handoverTo;
  std::uint64_t handoverAt;
  std::uint64_t handoverFrom;
};

}  // namespace

// The owner's thread makes the board and offers it; helpers take turns on
// it through the crew.
struct SegmentBoard {
  // Not null: the board is one of pieces (piece_parse.h), and nothing below
  // is used.
  PieceBoard* pieces;
  // Set by the owner before the board is offered, read-only after.
  OsMonitor* monitor;
  const ParseCrew* crew;
  OsFile file;  // read at positions
  std::uint32_t segmentBytes;
  std::uint32_t segmentCount;
  std::uint32_t speculable;  // segments from 1 and below this one may start guessed
  std::uint32_t lookahead;
  std::uint8_t level;
  // Under the monitor:
  Parse** guesses;  // per segment: its guessed-start parse, or null
  Parse* parses;
  Parse* leader;
  bool leaderRunning;
  std::uint32_t leaderSegment;
  std::uint32_t nextGuess;
  std::uint32_t sleepers;
  bool stopping;
  std::int32_t failure;
  std::int32_t systemError;
  SegmentCounts counts;
  DeflateState* spares[kMostSpares];
  std::uint32_t spareCount;
  SymbolChunk* spareChunks;
  std::uint32_t spareChunkCount;
  // Written by the owner only: whose symbols are the true ones from
  // sendIndex on (Publish wakes the owner for them), and the input sent.
  Parse* sending;
  std::uint64_t sendIndex;
  std::uint64_t sentAt;
};

namespace {

// ---------------------------------------------------------------------------
// Memory, under the monitor unless said otherwise

void Wake(SegmentBoard* board) {
  if (board->sleepers != 0) OsWakeMonitor(board->monitor);
}

void Sleep(SegmentBoard* board) {
  board->sleepers += 1;
  OsWaitMonitor(board->monitor);
  board->sleepers -= 1;
}

void ReleaseChunk(SegmentBoard* board, SymbolChunk* chunk) {
  if (board->spareChunkCount < kMostSpareChunks) {
    chunk->next = board->spareChunks;
    board->spareChunks = chunk;
    board->spareChunkCount += 1;
  } else {
    OsRelease(chunk);
  }
}

void ReleaseChunks(SegmentBoard* board, SymbolChunk* chunk) {
  while (chunk != nullptr) {
    SymbolChunk* next = chunk->next;
    ReleaseChunk(board, chunk);
    chunk = next;
  }
}

// A chunk for a parse's symbols, with the monitor held on entry and on
// return; null when memory is short.
SymbolChunk* TakeChunk(SegmentBoard* board) {
  SymbolChunk* chunk = board->spareChunks;
  if (chunk != nullptr) {
    board->spareChunks = chunk->next;
    board->spareChunkCount -= 1;
  } else {
    OsLeaveMonitor(board->monitor);
    chunk = static_cast<SymbolChunk*>(OsAllocate(sizeof(SymbolChunk)));
    OsEnterMonitor(board->monitor);
  }
  if (chunk != nullptr) chunk->next = nullptr;
  return chunk;
}

void ReleaseState(SegmentBoard* board, Parse* parse) {
  if (parse->state == nullptr) return;
  if (board->spareCount < kMostSpares) {
    board->spares[board->spareCount++] = parse->state;
  } else {
    OsRelease(parse->state);
  }
  parse->state = nullptr;
}

// A parse no one will read from: its state and symbols go, now if it is
// not running, else when it next publishes.
void Drop(SegmentBoard* board, Parse* parse) {
  parse->dropped = true;
  if (parse->running || parse->watched) return;
  ReleaseState(board, parse);
  ReleaseChunks(board, parse->first);
  parse->first = nullptr;
}

void Fail(SegmentBoard* board, std::int32_t code, std::int32_t systemError) {
  if (!board->stopping) {
    board->failure = code;
    board->systemError = systemError;
  }
  board->stopping = true;
  Wake(board);
}

// ---------------------------------------------------------------------------
// Reading at positions

bool ReadAtPosition(void* context, std::uint8_t* into, std::uint32_t count, std::uint32_t* got) {
  auto* input = static_cast<PositionedInput*>(context);
  if (!OsReadAt(input->file, input->position, into, count, got)) return false;
  input->position += *got;
  return true;
}

// ---------------------------------------------------------------------------
// A parse's turn

// Receives a parse's symbols (lazy_run.h): appends them to its chunks,
// publishes them, and compares the true parse's points with those of the
// parse it may hand over to.
struct SegmentRecorder {
  static constexpr bool kPauses = true;
  SegmentBoard* board;
  Parse* parse;
  std::uint64_t pauseAt;
  bool stopped;  // dropped, failed or handed over: the turn ends
  bool givenUp;  // paused: another thread may take the parse at once
  // The parse compared with, where its stream stands, and how much of it
  // was published when last looked at.
  Parse* other;
  std::uint64_t otherEnd;  // compared only at points before this offset
  std::uint64_t otherPublished;
  SymbolChunk* cursorChunk;
  std::uint32_t cursorOffset;
  std::uint64_t cursorIndex;
  std::uint64_t cursorPosition;
  bool cursorAfterMatch;

  bool Literal(DeflateState*, std::uint8_t byte) { return !Append(byte); }
  bool Match(DeflateState*, std::uint32_t distance, std::uint8_t lengthCode) {
    return !Append(distance << 8 | lengthCode) || other != nullptr;
  }
  bool AfterSymbol(DeflateState* state);
  bool AtPause(DeflateState* state);
  void End(DeflateState* state);

  bool Append(std::uint32_t symbol);
  bool Publish();
  bool NewChunk();
  bool Compare(std::uint64_t position);
  // False when the other parse was dropped meanwhile.
  bool HandOver();
  // Under the monitor: done with the other parse.
  void Unwatch() {
    if (other == nullptr) return;
    other->watched = false;
    if (other->dropped) Drop(board, other);
    other = nullptr;
  }
};

// More work: helpers that sleep hear of it. Only the owner offers the board
// itself, once: a helper's turn may still end after the board is withdrawn.
void WakeHelpers(SegmentBoard* board) { board->crew->wake(board->crew->context); }

// Makes the symbols so far visible; false when the parse must stop.
bool SegmentRecorder::Publish() {
  OsEnterMonitor(board->monitor);
  parse->published = parse->count;
  const bool goOn = !parse->dropped && !board->stopping;
  // Only the leader comparing with it and the owner sending it wait for it.
  if (parse->watched || parse == board->sending) Wake(board);
  OsLeaveMonitor(board->monitor);
  if (!goOn) stopped = true;
  return goOn;
}

bool SegmentRecorder::NewChunk() {
  OsEnterMonitor(board->monitor);
  SymbolChunk* chunk = TakeChunk(board);
  if (chunk != nullptr) {
    parse->last->next = chunk;
    parse->last = chunk;
    parse->fill = 0;
  } else if (parse->leader) {
    Fail(board, ErrNoMemory, 0);
  } else {
    parse->dropped = true;
  }
  OsLeaveMonitor(board->monitor);
  if (chunk == nullptr) stopped = true;
  return chunk != nullptr;
}

// False when the parse must stop.
inline bool SegmentRecorder::Append(std::uint32_t symbol) {
  if (parse->fill == kChunkSymbols && !NewChunk()) return false;
  parse->last->symbols[parse->fill++] = symbol;
  parse->count += 1;
  return (parse->count % kPublishEvery) != 0 || Publish();
}

// Walks the other parse's stream up to position; true when it stands there
// just after a match (or at its start): the state of this parse there.
bool SegmentRecorder::Compare(std::uint64_t position) {
  if (other == nullptr || position >= otherEnd) return false;
  while (cursorPosition < position) {
    if (cursorIndex == otherPublished) {
      // Wait for more of it; a parse that can give no more ends the look.
      OsEnterMonitor(board->monitor);
      while (other->published <= cursorIndex && other->running && !other->dropped &&
             !board->stopping) {
        Sleep(board);
      }
      otherPublished = other->dropped ? 0 : other->published;
      if (cursorChunk == nullptr) cursorChunk = other->first;
      const bool more = otherPublished > cursorIndex;
      if (!more) Unwatch();
      OsLeaveMonitor(board->monitor);
      if (!more) return false;
    }
    if (cursorOffset == kChunkSymbols) {
      cursorChunk = cursorChunk->next;
      cursorOffset = 0;
    }
    const std::uint32_t symbol = cursorChunk->symbols[cursorOffset++];
    cursorIndex += 1;
    cursorPosition += SymbolLength(symbol);
    cursorAfterMatch = (symbol >> 8) != 0;
  }
  return cursorPosition == position && (cursorAfterMatch || cursorIndex == 0);
}

// This parse, the true one, meets the other's state: the other goes on as
// the true parse, this one ends.
bool SegmentRecorder::HandOver() {
  OsEnterMonitor(board->monitor);
  // Dropped meanwhile (short of memory): this parse goes on alone.
  if (other->dropped) {
    Unwatch();
    OsLeaveMonitor(board->monitor);
    return false;
  }
  parse->published = parse->count;
  parse->handoverTo = other;
  parse->handoverAt = parse->count;
  parse->handoverFrom = cursorIndex;
  board->counts.joins += 1;
  other->watched = false;
  other->leader = true;
  board->leader = other;
  board->leaderRunning = other->running;
  // A parse paused at its segment's end goes on from the next one.
  if (!other->running) {
    board->leaderSegment = static_cast<std::uint32_t>(other->pausedAt / board->segmentBytes);
  }
  const bool offer = !other->running;
  other = nullptr;
  Wake(board);
  OsLeaveMonitor(board->monitor);
  stopped = true;
  if (offer) WakeHelpers(board);
  return true;
}

bool SegmentRecorder::AfterSymbol(DeflateState* state) {
  if (stopped) return false;
  return !Compare(state->windowBase + state->scanPosition) || !HandOver();
}

// The turn ends at the end of a segment: a guessed parse waits there to be
// the leader or dropped; the leader lets the next turn decide what it
// meets in the next segment.
bool SegmentRecorder::AtPause(DeflateState* state) {
  // Never read by a parse; kept from running down over a long input.
  state->blockBegin = 0;
  const std::uint64_t position = state->windowBase + state->scanPosition;
  OsEnterMonitor(board->monitor);
  parse->published = parse->count;
  parse->pausedAt = position;
  parse->running = false;
  const bool leader = parse->leader;
  if (leader) {
    // No point of the segment behind met the other parse's: it is of no use.
    if (other != nullptr) {
      board->counts.dropped += 1;
      Drop(board, other);
      Unwatch();
    }
    board->leaderRunning = false;
    board->leaderSegment = static_cast<std::uint32_t>(position / board->segmentBytes);
  }
  Wake(board);
  OsLeaveMonitor(board->monitor);
  other = nullptr;
  stopped = true;
  givenUp = true;
  if (leader) WakeHelpers(board);
  return false;
}

void SegmentRecorder::End(DeflateState*) {
  OsEnterMonitor(board->monitor);
  parse->published = parse->count;
  parse->ended = true;
  Wake(board);
  OsLeaveMonitor(board->monitor);
  stopped = true;
}

void RunLazy(DeflateState* state, SegmentRecorder* recorder) { RunLazyLevel(state, recorder); }

// After a parse's turn that did not pause: it is no longer running, and
// what nobody needs goes.
void EndTurn(SegmentBoard* board, Parse* parse, bool givenUp) {
  if (givenUp) return;
  OsEnterMonitor(board->monitor);
  parse->running = false;
  parse->published = parse->count;
  if (parse->dropped) {
    Drop(board, parse);
  } else if (parse->handoverTo != nullptr || parse->ended) {
    ReleaseState(board, parse);
  }
  if (parse->leader && !parse->ended && parse->handoverTo == nullptr && parse->dropped) {
    Fail(board, board->failure != ErrNone ? board->failure : ErrNoMemory, 0);
  }
  Wake(board);
  OsLeaveMonitor(board->monitor);
}

void StartRecorder(SegmentRecorder* recorder, SegmentBoard* board, Parse* parse) {
  std::memset(recorder, 0, sizeof *recorder);
  recorder->board = board;
  recorder->parse = parse;
  recorder->pauseAt = kNoPause;
}

// The leader's turn: through the segment it stands in, meeting the parse
// that started there, if any.
void AdvanceLeader(SegmentBoard* board, Parse* parse) {
  DeflateState* state = parse->state;
  SegmentRecorder recorder;
  StartRecorder(&recorder, board, parse);
  const std::uint64_t position = state->windowBase + state->scanPosition;
  const auto segment = static_cast<std::uint32_t>(position / board->segmentBytes);
  if (segment + 1 < board->segmentCount) {
    recorder.pauseAt = std::uint64_t{segment + 1} * board->segmentBytes;
  }
  OsEnterMonitor(board->monitor);
  Parse* other = segment < board->segmentCount ? board->guesses[segment] : nullptr;
  if (other != nullptr && other != parse && !other->dropped) {
    other->watched = true;
    recorder.other = other;
    recorder.otherEnd = recorder.pauseAt;
    recorder.otherPublished = other->published;
    recorder.cursorChunk = other->first;
    recorder.cursorPosition = other->start;
  }
  OsLeaveMonitor(board->monitor);
  // A leader that paused just after a match may meet the other parse at once.
  const bool joined = recorder.other != nullptr && !state->loopLiteralPending &&
                      recorder.Compare(position) && recorder.HandOver();
  if (!joined) {
    RunLazy(state, &recorder);
    // After a pause the state may be another thread's already.
    const bool failed = !recorder.givenUp && state->failed;
    const std::int32_t systemError = failed ? OsLastError() : 0;
    OsEnterMonitor(board->monitor);
    if (failed) Fail(board, ErrRead, systemError);
    recorder.Unwatch();
    OsLeaveMonitor(board->monitor);
  }
  EndTurn(board, parse, recorder.givenUp);
}

DeflateState* TakeState(SegmentBoard* board) {
  OsEnterMonitor(board->monitor);
  DeflateState* state = board->spareCount != 0 ? board->spares[--board->spareCount] : nullptr;
  OsLeaveMonitor(board->monitor);
  return state != nullptr ? state : AllocateDeflateState();
}

// Gives a parse its state, reading at positions from offset, and its first
// chunk; false when memory is short.
bool EquipParse(SegmentBoard* board, Parse* parse, std::uint64_t offset) {
  DeflateState* state = TakeState(board);
  OsEnterMonitor(board->monitor);
  SymbolChunk* chunk = TakeChunk(board);
  parse->state = state;
  parse->first = chunk;
  parse->last = chunk;
  OsLeaveMonitor(board->monitor);
  if (state == nullptr || chunk == nullptr) return false;
  parse->input = {board->file, offset};
  state->source = {ReadAtPosition, &parse->input};
  state->sink = {nullptr, nullptr};
  state->failed = false;
  state->chainsKept = 1;
  return true;
}

// Gives a parse its state and first chunk and starts the state at the
// parse's start with nothing deferred: the first window read from 32,768
// bytes before it (or from the input's start), and those bytes entered.
// False when memory is short or the input holds less than that.
bool StartParse(SegmentBoard* board, Parse* parse) {
  const std::uint64_t warm = parse->start >= kWindowHalf ? parse->start - kWindowHalf : 0;
  if (!EquipParse(board, parse, warm)) return false;
  DeflateState* state = parse->state;
  state->level = board->level;
  StartMatcher(board->level, state);
  state->windowBase = warm;
  const auto entered = static_cast<std::uint32_t>(parse->start - warm);
  if (state->failed || (entered != 0 && state->bytesAhead < entered + kLeastAhead)) return false;
  std::uint32_t hash = state->rollingHash;
  for (std::uint32_t q = 0; q < entered; ++q) {
    EnterAhead(state, &hash, q);
  }
  state->rollingHash = hash;
  state->scanPosition = entered;
  state->bytesAhead -= entered;
  return true;
}

// A parse from a guessed start at its segment, up to the segment's end.
void StartGuessed(SegmentBoard* board, Parse* parse) {
  bool started = StartParse(board, parse);
  DeflateState* state = parse->state;
  bool givenUp = false;
  if (started) {
    SegmentRecorder recorder;
    StartRecorder(&recorder, board, parse);
    recorder.pauseAt = parse->start + board->segmentBytes;
    RunLazy(state, &recorder);
    givenUp = recorder.givenUp;
    started = givenUp || !state->failed;
  }
  if (!started) {
    OsEnterMonitor(board->monitor);
    parse->dropped = true;
    OsLeaveMonitor(board->monitor);
  }
  EndTurn(board, parse, givenUp);
}

// ---------------------------------------------------------------------------
// Taking turns

enum class Turn { kNone, kLeader, kGuessed };

// The leader waits for its next turn; it may take it when not too far
// ahead of what has been sent.
bool LeaderPaused(const SegmentBoard* board) {
  return board->leader != nullptr && !board->leaderRunning && !board->leader->ended &&
         board->leader->handoverTo == nullptr;
}

bool LeaderReady(const SegmentBoard* board) {
  return LeaderPaused(board) &&
         board->leader->pausedAt < board->sentAt + kLeaderLead * board->segmentBytes;
}

bool GuessReady(SegmentBoard* board) {
  if (board->nextGuess <= board->leaderSegment) board->nextGuess = board->leaderSegment + 1;
  return board->nextGuess < board->speculable &&
         board->nextGuess <= board->leaderSegment + board->lookahead;
}

// Under the monitor: the next turn to take, marked running.
Turn TakeTurn(SegmentBoard* board, Parse** parseOut, Parse* fresh) {
  if (board->stopping) return Turn::kNone;
  const bool leaderReady = LeaderReady(board);
  const bool guessReady = fresh != nullptr && GuessReady(board);
  if (leaderReady && !(board->crew->speculateFirst && guessReady)) {
    *parseOut = board->leader;
    board->leaderRunning = true;
    board->leader->running = true;
    return Turn::kLeader;
  }
  if (!guessReady) return Turn::kNone;
  std::memset(fresh, 0, sizeof *fresh);
  fresh->start = std::uint64_t{board->nextGuess} * board->segmentBytes;
  fresh->running = true;
  fresh->nextOnBoard = board->parses;
  board->parses = fresh;
  board->guesses[board->nextGuess] = fresh;
  board->counts.guessed += 1;
  board->nextGuess += 1;
  *parseOut = fresh;
  return Turn::kGuessed;
}

bool WorkWaiting(SegmentBoard* board) {
  return !board->stopping && (LeaderReady(board) || GuessReady(board));
}

void RunTurn(SegmentBoard* board, Turn turn, Parse* parse) {
  if (turn == Turn::kLeader) {
    AdvanceLeader(board, parse);
  } else {
    StartGuessed(board, parse);
  }
}

// Takes and runs one turn, with the monitor held on entry and on return;
// false when there was none. letGo (may be null) tells whether the monitor
// was let go of meanwhile: what was looked at before may have changed, and
// its wake-ups gone to nobody.
bool TakeAndRun(SegmentBoard* board, bool* letGo = nullptr) {
  // A record for a new parse is allocated before it may be needed, with the
  // monitor let go, and let go of again when it is not.
  Parse* fresh = nullptr;
  if (!board->stopping && GuessReady(board)) {
    OsLeaveMonitor(board->monitor);
    fresh = static_cast<Parse*>(OsAllocate(sizeof(Parse)));
    OsEnterMonitor(board->monitor);
    if (letGo != nullptr) *letGo = true;
  }
  Parse* parse = nullptr;
  const Turn turn = TakeTurn(board, &parse, fresh);
  if (turn != Turn::kGuessed) OsRelease(fresh);
  if (turn == Turn::kNone) return false;
  OsLeaveMonitor(board->monitor);
  RunTurn(board, turn, parse);
  OsEnterMonitor(board->monitor);
  return true;
}

// ---------------------------------------------------------------------------
// Sending the joined stream

// Replays the steps of the lazy run over symbols made elsewhere (see the
// top of the file): false when a symbol does not fit the input read here,
// or the state failed.
bool ReplaySymbols(DeflateState* state, const std::uint32_t* symbols, std::uint32_t count,
                   bool endsStream) {
  std::uint8_t* window = state->slidingWindow;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t symbol = symbols[i];
    // The step at the symbol's first byte.
    if (state->bytesAhead == 0) return false;
    state->scanPosition += 1;
    state->bytesAhead -= 1;
    if (state->bytesAhead < kLeastAhead) {
      RefillWindow(state);
      if (state->failed) return false;
    }
    const std::uint32_t p = state->scanPosition;
    const std::uint32_t distance = symbol >> 8;
    bool full;
    if (distance == 0) {
      if (window[p - 1] != static_cast<std::uint8_t>(symbol)) return false;
      full = RecordSymbol(state, 0, static_cast<std::uint8_t>(symbol));
      // The literal pending at the end is recorded after the loop.
      if (endsStream && i + 1 == count) full = false;
    } else {
      const std::uint32_t length = (symbol & 0xFF) + kShortestMatch;
      const std::uint32_t at = p - 1;
      if (length - 1 > state->bytesAhead || distance > at ||
          std::memcmp(window + at, window + at - distance, length) != 0) {
        return false;
      }
      full = RecordSymbol(state, distance, static_cast<std::uint8_t>(symbol));
      state->scanPosition += length - 1;
      state->bytesAhead -= length - 1;
      // The step at the byte after the first ends past the match.
      if (full && !FinishMidBlock(state)) return false;
      if (state->bytesAhead < kLeastAhead) {
        RefillWindow(state);
        if (state->failed) return false;
      }
      continue;
    }
    if (full && !FinishMidBlock(state)) return false;
  }
  return true;
}

// What the owner does next with the joined stream, under the monitor.
enum class Sending { kSent, kNothingYet, kEnded, kFailed };

// Lets go of parse's chunks wholly before index that nobody writes any more.
void ReleaseChunksBefore(SegmentBoard* board, Parse* parse, std::uint64_t index) {
  while (parse->first != nullptr && parse->first->next != nullptr &&
         index >= parse->firstIndex + kChunkSymbols) {
    SymbolChunk* next = parse->first->next;
    ReleaseChunk(board, parse->first);
    parse->first = next;
    parse->firstIndex += kChunkSymbols;
  }
}

Sending SendSome(SegmentBoard* board, DeflateState* state) {
  Parse* parse = board->sending;
  if (parse->handoverTo != nullptr && board->sendIndex == parse->handoverAt) {
    Parse* next = parse->handoverTo;
    ReleaseChunks(board, parse->first);
    parse->first = nullptr;
    if (!parse->running) ReleaseState(board, parse);
    board->sending = next;
    board->sendIndex = parse->handoverFrom;
    ReleaseChunksBefore(board, next, board->sendIndex);
    return Sending::kSent;
  }
  ReleaseChunksBefore(board, parse, board->sendIndex);
  const std::uint64_t limit = parse->handoverTo != nullptr ? parse->handoverAt : parse->published;
  if (board->sendIndex >= limit) {
    if (parse->ended && parse->handoverTo == nullptr) return Sending::kEnded;
    return Sending::kNothingYet;
  }
  const auto offset = static_cast<std::uint32_t>(board->sendIndex - parse->firstIndex);
  const std::uint64_t left = limit - board->sendIndex;
  const std::uint32_t count =
      left < kChunkSymbols - offset ? static_cast<std::uint32_t>(left) : kChunkSymbols - offset;
  const std::uint32_t* symbols = parse->first->symbols + offset;
  const bool endsStream =
      parse->ended && parse->handoverTo == nullptr && board->sendIndex + count == parse->published;
  OsLeaveMonitor(board->monitor);
  const bool fits = ReplaySymbols(state, symbols, count, endsStream);
  OsEnterMonitor(board->monitor);
  board->sendIndex += count;
  board->sentAt = state->windowBase + state->scanPosition;
  return fits ? Sending::kSent : Sending::kFailed;
}

// ---------------------------------------------------------------------------
// The board's life

SegmentBoard* CreateBoard(const ParseCrew* crew, std::uint8_t level, OsFile source,
                          std::uint64_t size) {
  const std::uint32_t segmentBytes = crew->segmentBytes != 0 ? crew->segmentBytes : kSegmentBytes;
  const std::uint64_t segments = (size + segmentBytes - 1) / segmentBytes;
  if (segments > 0x7FFFFFFF) return nullptr;
  const auto segmentCount = static_cast<std::uint32_t>(segments);
  auto* board = static_cast<SegmentBoard*>(OsAllocate(sizeof(SegmentBoard)));
  if (board == nullptr) return nullptr;
  std::memset(board, 0, sizeof *board);
  board->guesses = static_cast<Parse**>(OsAllocate(sizeof(Parse*) * segmentCount));
  board->monitor = OsCreateMonitor();
  board->file = OsReopenForReadsAt(source);
  auto* leader = static_cast<Parse*>(OsAllocate(sizeof(Parse)));
  if (board->guesses == nullptr || board->monitor == nullptr || board->file == kNoFile ||
      leader == nullptr) {
    OsRelease(leader);
    OsClose(board->file);
    if (board->monitor != nullptr) OsDestroyMonitor(board->monitor);
    OsRelease(board->guesses);
    OsRelease(board);
    return nullptr;
  }
  std::memset(board->guesses, 0, sizeof(Parse*) * segmentCount);
  std::memset(leader, 0, sizeof *leader);
  board->crew = crew;
  if (crew->kept != nullptr) {
    for (; crew->kept->count != 0 && board->spareCount < kMostSpares; --crew->kept->count) {
      board->spares[board->spareCount++] = crew->kept->states[crew->kept->count - 1];
    }
  }
  board->segmentBytes = segmentBytes;
  board->segmentCount = segmentCount;
  // A guessed parse stays clear of the input's last bytes, which are not
  // entered and cut the matches; before them, with the end in the window,
  // nothing is refilled, and so the window never slides unfilled.
  board->speculable =
      size > kClearOfEnd ? static_cast<std::uint32_t>((size - kClearOfEnd) / segmentBytes) : 0;
  board->lookahead = crew->helpers + kLookaheadBeyondHelpers;
  board->level = level;
  board->parses = leader;
  board->leader = leader;
  // From where the leader starts (StartLeaderFrom), its symbols are the true ones.
  board->sending = leader;
  leader->leader = true;
  return board;
}

void DestroyBoard(SegmentBoard* board) {
  for (Parse* parse = board->parses; parse != nullptr;) {
    Parse* next = parse->nextOnBoard;
    ReleaseChunks(board, parse->first);
    ReleaseState(board, parse);
    OsRelease(parse);
    parse = next;
  }
  KeptStates* kept = board->crew->kept;
  for (std::uint32_t i = 0; i < board->spareCount; ++i) {
    if (kept != nullptr && kept->count < sizeof kept->states / sizeof kept->states[0]) {
      kept->states[kept->count++] = board->spares[i];
    } else {
      OsRelease(board->spares[i]);
    }
  }
  for (SymbolChunk* chunk = board->spareChunks; chunk != nullptr;) {
    SymbolChunk* next = chunk->next;
    OsRelease(chunk);
    chunk = next;
  }
  OsClose(board->file);
  OsDestroyMonitor(board->monitor);
  OsRelease(board->guesses);
  OsRelease(board);
}

// ---------------------------------------------------------------------------
// Parsing alone until help comes

bool HelpAtHand(const ParseCrew* crew) {
  return crew->helpAtHand == nullptr || crew->helpAtHand(crew->context);
}

// The parse's part of a state: the chains, the window and the match
// search's fields (the record's end from the window on).
void CopyParse(DeflateState* to, const DeflateState* from) {
  std::memcpy(to->chainSteps, from->chainSteps, sizeof from->chainSteps);
  const std::size_t at = offsetof(DeflateState, slidingWindow);
  std::memcpy(reinterpret_cast<std::uint8_t*>(to) + at,
              reinterpret_cast<const std::uint8_t*>(from) + at, sizeof(DeflateState) - at);
}

// The true parse goes on as the board's leader from where the state alone
// stands: a copy of it, reading at positions from where it read up to.
bool StartLeaderFrom(SegmentBoard* board, const DeflateState* alone) {
  Parse* parse = board->leader;
  const std::uint64_t position = alone->windowBase + alone->scanPosition;
  if (!EquipParse(board, parse, position + alone->bytesAhead)) return false;
  DeflateState* state = parse->state;
  CopyParse(state, alone);
  state->chainsKept = 1;
  parse->start = position;
  parse->pausedAt = position;
  board->leaderSegment = static_cast<std::uint32_t>(position / board->segmentBytes);
  board->sentAt = position;
  return true;
}

// The owner's parse while it is alone: the compressor alone's symbols and
// blocks (compress_run.cpp), paused at the first point just after a match
// once a segment's end found help at hand. Near the input's end no later
// segment could be parsed in time, and nothing is asked.
struct AloneRecorder : BlockRecorder {
  static constexpr bool kPauses = true;
  const ParseCrew* crew;
  std::uint64_t pauseAt;
  std::uint64_t lastAsked;  // no asking from here on
  std::uint32_t segmentBytes;
  bool helped;  // help is at hand: the next point after a match pauses
  bool paused;

  bool AtPause(DeflateState* state) {
    if (!helped) {
      helped = HelpAtHand(crew);
      if (!helped) {
        pauseAt += segmentBytes;
        if (pauseAt > lastAsked) pauseAt = kNoPause;
        return true;
      }
    }
    // Asked after each step from here on, until the parse stands just
    // after a match, with nothing deferred and no literal pending.
    if (state->loopLiteralPending || state->loopLength >= kShortestMatch) return true;
    paused = true;
    return false;
  }
};

// Deflates the state's input alone, as DeflateStream does, until help is
// at hand (asked first at the input's start, a point with nothing deferred);
// then returns a board whose leader goes on with the true parse from the
// point reached, this state's symbols sent up to there. Null when the input
// went alone to its end, or the state failed.
SegmentBoard* ParseAloneUntilHelped(DeflateState* state, std::uint8_t level,
                                    std::uint16_t* fileTypeWord, const ParseCrew* crew, OsFile file,
                                    std::uint64_t size) {
  BeginEntryOutput(state, fileTypeWord, level);
  StartMatcher(level, state);
  if (state->failed) return nullptr;
  AloneRecorder recorder{};
  recorder.crew = crew;
  recorder.segmentBytes = crew->segmentBytes != 0 ? crew->segmentBytes : kSegmentBytes;
  recorder.pauseAt = recorder.segmentBytes;
  recorder.lastAsked = size > 2 * std::uint64_t{recorder.segmentBytes} + kClearOfEnd
                           ? size - 2 * std::uint64_t{recorder.segmentBytes} - kClearOfEnd
                           : 0;
  if (recorder.pauseAt > recorder.lastAsked) recorder.pauseAt = kNoPause;
  recorder.helped = HelpAtHand(crew);
  recorder.paused = recorder.helped;
  for (;;) {
    if (!recorder.paused) {
      RunLazyLevel(state, &recorder);
      if (!recorder.paused) return nullptr;
    }
    recorder.paused = false;
    SegmentBoard* board = CreateBoard(crew, level, file, size);
    if (board != nullptr && StartLeaderFrom(board, state)) {
      // From here on this state sends what the board's parses find.
      state->chainsKept = 0;
      return board;
    }
    // Without the means to split, the rest goes alone too.
    if (board != nullptr) DestroyBoard(board);
    recorder.pauseAt = kNoPause;
  }
}

}  // namespace

void ReleaseKeptStates(KeptStates* kept) {
  for (std::uint32_t i = 0; i < kept->count; ++i) OsRelease(kept->states[i]);
  kept->count = 0;
}

bool SplitsInput(const ParseCrew* crew, std::uint8_t /*level*/, std::uint64_t size) {
  const std::uint64_t from = crew->splitFrom != 0 ? crew->splitFrom : kSplitFrom;
  return size != ~std::uint64_t{0} && size >= from;
}

bool SegmentWorkWaiting(SegmentBoard* board) {
  if (board->pieces != nullptr) return PieceWorkWaiting(board->pieces);
  OsEnterMonitor(board->monitor);
  const bool waiting = WorkWaiting(board);
  OsLeaveMonitor(board->monitor);
  return waiting;
}

bool HelpWithSegments(SegmentBoard* board) {
  if (board->pieces != nullptr) return HelpWithPieces(board->pieces);
  OsEnterMonitor(board->monitor);
  const bool ran = TakeAndRun(board);
  OsLeaveMonitor(board->monitor);
  return ran;
}

std::int32_t DeflateInSegments(DeflateState* state, std::uint8_t level, std::uint16_t* fileTypeWord,
                               const ParseCrew* crew, OsFile file, std::uint64_t size,
                               std::int32_t* systemError) {
  *systemError = 0;
  if (RestartsAtOffsets(level)) {
    // Only the pieces field of this shell is read, by the crew's helpers.
    auto* shell = static_cast<SegmentBoard*>(OsAllocate(sizeof(SegmentBoard)));
    if (shell == nullptr) {
      DeflateStream(state, level, fileTypeWord);
      return ErrNone;
    }
    std::memset(shell, 0, sizeof *shell);
    const std::int32_t code = DeflateInPieces(state, level, fileTypeWord, crew, shell,
                                              &shell->pieces, file, size, systemError);
    OsRelease(shell);
    return code;
  }
  // The joined stream goes through this state's block output; the window
  // is read in order here, and slides without chains once on the board.
  SegmentBoard* board = ParseAloneUntilHelped(state, level, fileTypeWord, crew, file, size);
  if (board == nullptr) return ErrNone;
  crew->offer(crew->context, board);

  std::int32_t code = ErrNone;
  OsEnterMonitor(board->monitor);
  for (;;) {
    if (board->stopping || state->failed) break;
    const bool held = LeaderPaused(board) && !LeaderReady(board);
    const Sending sent = SendSome(board, state);
    if (sent == Sending::kSent) {
      // What was sent may let the leader go on: the helpers hear of it.
      if (held && LeaderReady(board)) {
        OsLeaveMonitor(board->monitor);
        WakeHelpers(board);
        OsEnterMonitor(board->monitor);
      }
      continue;
    }
    if (sent == Sending::kEnded) break;
    if (sent == Sending::kFailed) {
      if (!state->failed) code = ErrChanged;
      break;
    }
    // Sleeps only when nothing changed since SendSome looked: with the
    // monitor let go of, the parse sent may have published more (or handed
    // over, or ended) and woken nobody, and then nobody would wake this
    // thread again.
    bool letGo = false;
    if (!TakeAndRun(board, &letGo) && !letGo) Sleep(board);
  }
  if (code == ErrNone && !state->failed && board->stopping) {
    code = board->failure;
    *systemError = board->systemError;
  }
  board->stopping = true;
  Wake(board);
  OsLeaveMonitor(board->monitor);
  // Helpers leave at their next publication; then none is inside.
  crew->withdraw(crew->context, board);
  if (crew->counts != nullptr) {
    crew->counts->guessed += board->counts.guessed;
    crew->counts->joins += board->counts.joins;
    crew->counts->dropped += board->counts.dropped;
  }
  DestroyBoard(board);
  state->chainsKept = 1;
  if (code != ErrNone || state->failed) return code;
  // The true parse ended where the input read here ends.
  if (state->bytesAhead != 0) return ErrChanged;
  FinishBlockHere(state, 1);
  return ErrNone;
}

}  // namespace zf
