// The compressor's entry points, over a narrow source and sink: it knows
// nothing of archives. The archive writer's adapter, which hands it an
// entry's source and the entry's output, lives with the writer
// (zipwriter/entry_methods.cpp).
#pragma once

#include <cstdint>

#include "deflate/deflate_state.h"
#include "platform/platform.h"

namespace zf {

struct ParseCrew;

// One entry's deflate stream: where its input comes from and its output
// goes, the block output's buffer (kDeflateOutBytes), the level (1 to 9),
// and, for a source that may be parsed in segments, the crew and the
// source's file and size (crew null: the compressor runs alone).
struct DeflateJob {
  DeflateSource source;
  DeflateSink sink;
  std::uint8_t* outBuffer;
  std::uint8_t level;
  const ParseCrew* crew;
  OsFile file;
  std::uint64_t size;
};

// The level asked for (1 to 9), or the default for any other value.
std::uint8_t DeflateLevel(std::int32_t asked);

// Deflates the job's input into its sink as one stream; fileTypeWord
// receives the text-or-binary guess. A large input with a crew is parsed in
// segments on the crew's threads, with the same bytes, the joined stream
// going to the sink on this thread, in order. The outcome: ErrNone when
// the run was not stopped by the compressor itself (a failure of the
// source or sink is theirs to keep), else ErrNoMemory, ErrRead
// (*systemError set) or ErrChanged (failure.h); *deflatedBytes the stream's
// length.
std::int32_t DeflateData(DeflateState* state, const DeflateJob& job, std::uint16_t* fileTypeWord,
                         std::int32_t* systemError, std::uint64_t* deflatedBytes);

// A compressor state of its own, cleared; null when memory is short.
// Released with OsRelease.
DeflateState* AllocateDeflateState();
// Deflates the state's source into its sink at level (1 to 9) as one
// stream; fileTypeWord receives the text-or-binary guess. The outcome: the
// state's failed flag and DeflatedBytes (deflate_internal.h).
void DeflateStream(DeflateState* state, std::uint8_t level, std::uint16_t* fileTypeWord);

}  // namespace zf
