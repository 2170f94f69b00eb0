// The compressor's narrow source and sink over memory, for the tests and the
// fuzz target that run it without an archive writer.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "deflate/deflate.h"
#include "deflate/segment_parse.h"
#include "zipwriter/failure.h"

namespace zft {

struct MemoryInput {
  const std::vector<std::uint8_t>* bytes;
  std::size_t at;
};

inline bool ReadMemory(void* context, std::uint8_t* into, std::uint32_t count, std::uint32_t* got) {
  auto* input = static_cast<MemoryInput*>(context);
  const std::size_t left = input->bytes->size() - input->at;
  *got = static_cast<std::uint32_t>(left < count ? left : count);
  if (*got != 0) std::memcpy(into, input->bytes->data() + input->at, *got);
  input->at += *got;
  return true;
}

inline bool WriteMemory(void* context, const std::uint8_t* bytes, std::uint32_t count) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(context);
  out->insert(out->end(), bytes, bytes + count);
  return true;
}

struct MemoryStream {
  std::vector<std::uint8_t> bytes;
  std::int32_t code;  // DeflateInSegments' outcome
  bool failed;        // the state's
};

// Deflates input through state: alone, or with crew in segments whose
// parses read file (size bytes).
inline MemoryStream DeflateMemory(zf::DeflateState* state, const std::vector<std::uint8_t>& input,
                                  std::uint8_t level, const zf::ParseCrew* crew = nullptr,
                                  zf::OsFile file = zf::kNoFile, std::uint64_t size = 0) {
  MemoryStream stream{{}, zf::ErrNone, false};
  std::vector<std::uint8_t> out(zf::kDeflateOutBytes);
  MemoryInput in{&input, 0};
  state->source = {ReadMemory, &in};
  state->sink = {WriteMemory, &stream.bytes};
  state->outBuffer = out.data();
  std::uint16_t fileType = 0;
  if (crew == nullptr) {
    zf::DeflateStream(state, level, &fileType);
  } else {
    std::int32_t systemError = 0;
    stream.code = zf::DeflateInSegments(state, level, &fileType, crew, file, size, &systemError);
  }
  stream.failed = state->failed;
  return stream;
}

}  // namespace zft
