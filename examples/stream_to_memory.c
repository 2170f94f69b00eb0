/* Streams a folder as a ZIP archive into memory through the write callback,
   as a server does that sends a folder as a download without a temporary
   file, then hands the bytes on: here to the file OUT, or to standard output
   when OUT is "-".
   usage: stream_to_memory SOURCE OUT [THREADS]
   Build: cc stream_to_memory.c $(pkg-config --cflags --libs zipfolder) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zipfolder.h>

struct Buffer {
  unsigned char* bytes;
  size_t length;
  size_t capacity;
};

/* Called on the caller's thread with the archive's next bytes, in order. */
static int Append(void* context, const void* bytes, size_t length) {
  struct Buffer* buffer = (struct Buffer*)context;
  if (buffer->length + length > buffer->capacity) {
    size_t capacity = buffer->capacity != 0 ? buffer->capacity : 65536;
    while (capacity < buffer->length + length) capacity *= 2;
    unsigned char* grown = (unsigned char*)realloc(buffer->bytes, capacity);
    if (grown == NULL) return 1; /* the call fails with ZIPFOLDER_WRITE_FAILED */
    buffer->bytes = grown;
    buffer->capacity = capacity;
  }
  memcpy(buffer->bytes + buffer->length, bytes, length);
  buffer->length += length;
  return 0;
}

static int Tell(void* context, const ZipFolderEvent* event) {
  (void)context;
  if (event->kind == ZIPFOLDER_EVENT_LEFT_OUT) {
    fprintf(stderr, "left out %s: %s\n", event->name, event->reasonText);
  } else if (event->kind == ZIPFOLDER_EVENT_FAILED) {
    fprintf(stderr, "failed: %s\n", event->reasonText);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: stream_to_memory SOURCE OUT [THREADS]\n");
    return 2;
  }
  struct Buffer buffer = {NULL, 0, 0};
  ZipFolderOptions options;
  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  options.callback = Tell;
  options.threads = argc > 3 ? (uint32_t)atoi(argv[3]) : 0;
  options.write = Append;
  options.writeContext = &buffer;
  /* No archive path: the bytes go to the callback only. */
  const int32_t status = CompFilesToZipFileEx(argv[1], NULL, &options);
  if (status != ZIPFOLDER_DONE && status != ZIPFOLDER_DONE_LEFT_OUT) {
    free(buffer.bytes);
    return 1;
  }
  FILE* out = strcmp(argv[2], "-") == 0 ? stdout : fopen(argv[2], "wb");
  const int written = out != NULL && fwrite(buffer.bytes, 1, buffer.length, out) == buffer.length;
  if (out != NULL && out != stdout) fclose(out);
  free(buffer.bytes);
  if (!written) return 1;
  fprintf(stderr, "%lu bytes\n", (unsigned long)buffer.length);
  return status == ZIPFOLDER_DONE ? 0 : 3;
}
