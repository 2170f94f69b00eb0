// The whole job of CompFilesToZipFile: the archive opened in place, every
// file the walk meets added to it, and the archive closed. It reports
// nothing; CompFilesToZipFileEx's job (pack_reporting.cpp) tells the caller
// what happened.
#include "entry/pack_folder.h"

namespace zf {
namespace {

bool AddFileToArchive(void* context, const char* path, const char* name) {
  return !IsOutputFailure(AddEntry(static_cast<ZipWriter*>(context), path, name));
}

}  // namespace

void AddFolder(ZipWriter* writer, const char* folder, const char* root) {
  WalkFolder(WalkVisitor{writer, AddFileToArchive, nullptr}, folder, root);
}

std::int32_t PackFolder(const char* srcFolder, const char* zipPath, PackSummary* summary) {
  if (summary != nullptr) *summary = PackSummary{};
  // An empty path would walk the root of the file system, or create a
  // nameless file: treat it as no path at all.
  if (srcFolder == nullptr || zipPath == nullptr || *srcFolder == 0 || *zipPath == 0) {
    return ErrArgument;
  }
  ZipWriter* writer = nullptr;
  const std::int32_t opened = OpenArchive(zipPath, &writer);
  if (opened != ErrNone) return opened;
  AddFolder(writer, srcFolder, srcFolder);
  PackSummary done{writer->entryCount, writer->sourceBytes, FinishedLength(writer)};
  const std::int32_t closed = CloseArchive(writer);
  if (summary != nullptr && closed == ErrNone) *summary = done;
  return closed;
}

}  // namespace zf
