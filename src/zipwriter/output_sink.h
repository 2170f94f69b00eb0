// Where the archive's bytes go. Two kinds: a file that can seek, behind which
// each entry's local header is put right once its data is written; and a
// stream that only takes bytes in order (a pipe, a FIFO, a device, standard
// output, or a function of the caller's), where each entry carries its CRC
// and sizes in a data descriptor after its data instead. The writer sends
// every byte through one sink, the compressor's output included.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zf {

enum class SinkKind : std::uint8_t { kSeekable, kStream };

// Takes count bytes in order; false fails the write.
using SinkWriter = bool (*)(void* context, const std::uint8_t* data, std::uint32_t count);

struct OutputSink {
  SinkKind kind;
  OsFile file;     // written when write is null
  bool closeFile;  // the writer closes file when it is closed
  SinkWriter write;
  void* context;
};

// An archive file the writer owns, and can seek and cut.
OutputSink FileSink(OsFile file);
// The same for a file the caller created and keeps: the writer leaves it open.
OutputSink KeptFileSink(OsFile file);
// An open file or stream taken in order only; closed with the writer when
// closeFile is set.
OutputSink StreamSink(OsFile file, bool closeFile);
// A function taking the bytes in order.
OutputSink FunctionSink(SinkWriter write, void* context);

// Hands count bytes on; false on failure, with the system's error number in
// *systemError (0 when a function refused them) and the bytes that a file
// took nonetheless in *written.
bool SinkWrite(const OutputSink& sink, const void* data, std::uint32_t count,
               std::uint32_t* written, std::int32_t* systemError);
// Repositions a seekable sink; a stream cannot be, and fails.
bool SinkSeek(const OutputSink& sink, std::uint64_t position, std::int32_t* systemError);
// Cuts a seekable file at its position; nothing to do for a stream.
bool SinkSetEnd(const OutputSink& sink);
// Closes a file the writer owns; false when the close failed.
bool SinkClose(const OutputSink& sink);

}  // namespace zf
