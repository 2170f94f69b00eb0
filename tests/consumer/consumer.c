/* A program that uses the installed library, as any C program would: it
   packs a folder through the reporting function and prints what it was told.
   usage: consumer SOURCE ARCHIVE CANCEL_AT
   CANCEL_AT > 0 cancels once that many source bytes have been read. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zipfolder.h>

struct Tally {
  unsigned long long cancelAt;
  unsigned long long mostRead;
  unsigned long long archiveSize;
  unsigned added;
  unsigned leftOut;
  unsigned progress;
  unsigned countersWrong;
};

static int Count(void* context, const ZipFolderEvent* event) {
  struct Tally* tally = (struct Tally*)context;
  if (event->bytesRead < tally->mostRead) tally->countersWrong += 1;
  tally->mostRead = event->bytesRead;
  switch (event->kind) {
    case ZIPFOLDER_EVENT_PROGRESS:
      tally->progress += 1;
      break;
    case ZIPFOLDER_EVENT_ADDED:
      tally->added += 1;
      if (event->entriesAdded != tally->added) tally->countersWrong += 1;
      break;
    case ZIPFOLDER_EVENT_LEFT_OUT:
      tally->leftOut += 1;
      printf("left out %s: %s (reason %d)\n", event->name, event->reasonText, (int)event->reason);
      break;
    case ZIPFOLDER_EVENT_FINISHED:
      tally->archiveSize = event->size;
      break;
    default:
      break;
  }
  return tally->cancelAt != 0 && event->bytesRead >= tally->cancelAt;
}

int main(int argc, char** argv) {
  struct Tally tally = {0, 0, 0, 0, 0, 0, 0};
  ZipFolderOptions options;
  int status;
  if (argc != 4) return 2;
  tally.cancelAt = strtoull(argv[3], NULL, 10);
  memset(&options, 0, sizeof options); /* zeros: every other choice at its default */
  options.size = sizeof options;
  options.callback = Count;
  options.context = &tally;
  status = CompFilesToZipFileEx(argv[1], argv[2], &options);
  printf("status %d added %u left_out %u read %llu progress %u archive %llu wrong %u\n", status,
         tally.added, tally.leftOut, tally.mostRead, tally.progress, tally.archiveSize,
         tally.countersWrong);
  return 0;
}
