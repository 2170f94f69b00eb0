#include "zipwriter/output_sink.h"

namespace zf {

OutputSink FileSink(OsFile file) {
  return OutputSink{SinkKind::kSeekable, file, true, nullptr, nullptr};
}

OutputSink KeptFileSink(OsFile file) {
  return OutputSink{SinkKind::kSeekable, file, false, nullptr, nullptr};
}

OutputSink StreamSink(OsFile file, bool closeFile) {
  return OutputSink{SinkKind::kStream, file, closeFile, nullptr, nullptr};
}

OutputSink FunctionSink(SinkWriter write, void* context) {
  return OutputSink{SinkKind::kStream, kNoFile, false, write, context};
}

bool SinkWrite(const OutputSink& sink, const void* data, std::uint32_t count,
               std::uint32_t* written, std::int32_t* systemError) {
  *written = 0;
  if (sink.write != nullptr) {
    if (sink.write(sink.context, static_cast<const std::uint8_t*>(data), count)) return true;
    *systemError = 0;
    return false;
  }
  if (OsWrite(sink.file, data, count, written) && *written == count) return true;
  *systemError = OsLastError();
  return false;
}

bool SinkSeek(const OutputSink& sink, std::uint64_t position, std::int32_t* systemError) {
  // A stream leaves the error number alone: the failure that asked for the
  // seek is the one worth telling.
  if (sink.kind != SinkKind::kSeekable) return false;
  if (OsSeek(sink.file, position)) return true;
  *systemError = OsLastError();
  return false;
}

bool SinkSetEnd(const OutputSink& sink) {
  return sink.kind != SinkKind::kSeekable || OsSetEnd(sink.file);
}

bool SinkClose(const OutputSink& sink) { return !sink.closeFile || OsClose(sink.file); }

}  // namespace zf
