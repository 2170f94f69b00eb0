// A 32-bit host that calls every export of zipfolder.dll from a stack
// aligned to 4 bytes only, as the 32-bit Windows ABI allows: programs built
// by other compilers (Visual C++, Delphi, VB6) call from such stacks, and
// the threads Windows starts begin on them. Each call goes through a
// trampoline that sets the stack to 0, 4, 8 and 12 bytes past a multiple of
// 16 before the call; at every offset the archive must come out the same.
// Prints "misaligned host: all cases ran" when it gets through.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "zipfolder.h"

#if !defined(__i386__)
#error "the misaligned-stack host is for 32-bit x86 only"
#endif

// Copies count 32-bit arguments onto a stack whose address is offset bytes
// past a multiple of 16, calls function (cdecl) and returns what it returns.
extern "C" std::uint32_t CallAtOffset(const void* function, const std::uint32_t* args,
                                      std::uint32_t count, std::uint32_t offset);
asm(R"(
    .text
    .globl _CallAtOffset
_CallAtOffset:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    movl 16(%ebp), %ecx
    movl 12(%ebp), %esi
    leal 64(,%ecx,4), %eax
    movl %esp, %edx
    subl %eax, %edx
    andl $-16, %edx
    addl 20(%ebp), %edx
    movl %edx, %esp
    movl %edx, %edi
    cld
    rep movsl
    call *8(%ebp)
    leal -8(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebp
    ret
)");

namespace {

std::uint32_t Arg(const void* pointer) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

int __cdecl CountAdded(void* context, const ZipFolderEvent* event) {
  if (event->kind == ZIPFOLDER_EVENT_ADDED) ++*static_cast<int*>(context);
  return 0;
}

int __cdecl Collect(void* context, const void* bytes, size_t length) {
  const auto* first = static_cast<const char*>(bytes);
  static_cast<std::string*>(context)->append(first, first + length);
  return 0;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

// The archive holds each file's access time, which the first reads would
// move (Linux's relatime) between one case and the next; an access time an
// hour ahead, past the last change, stays put.
bool HoldAccessTime(const std::string& path) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks{{now.dwLowDateTime, now.dwHighDateTime}};
  ticks.QuadPart += 3600ull * 10000000ull;
  const FILETIME ahead{ticks.LowPart, ticks.HighPart};
  const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const BOOL ok = SetFileTime(file, nullptr, &ahead, nullptr);
  CloseHandle(file);
  return ok != FALSE;
}

// Enough files for two workers, each long enough for the CRC's vector path.
bool MakeTree(const std::string& tree) {
  if (CreateDirectoryA(tree.c_str(), nullptr) == FALSE) return false;
  std::uint32_t state = 7;
  for (int file = 0; file < 12; ++file) {
    std::string text;
    while (text.size() < 20000u + 3000u * static_cast<unsigned>(file)) {
      state = state * 1103515245u + 12345u;
      text += "entry " + std::to_string(state >> 20) + (state & 0x100 ? "\r\n" : " ");
    }
    const std::string path = tree + "\\file" + std::to_string(file) + ".txt";
    if (!WriteAll(path, text) || !HoldAccessTime(path)) return false;
  }
  return true;
}

struct Outcome {
  std::string archive;
  int added;
  std::uint32_t status;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: misaligned_host WORK_FOLDER\n");
    return 2;
  }
  const std::string work = argv[1];
  const std::string tree = work + "\\tree";
  const HMODULE library = LoadLibraryA("zipfolder.dll");
  if (library == nullptr || !MakeTree(tree)) {
    std::fprintf(stderr, "misaligned host: cannot load the DLL or make the tree\n");
    return 1;
  }
  const auto find = [&](const char* name) {
    return reinterpret_cast<const void*>(GetProcAddress(library, name));
  };
  const void* pack = find("CompFilesToZipFile");
  const void* packW = find("CompFilesToZipFileW");
  const void* packEx = find("CompFilesToZipFileEx");
  const std::wstring wideTree(tree.begin(), tree.end());
  const std::string archive = work + "\\out.zip";
  const std::wstring wideArchive(archive.begin(), archive.end());

  // Each case makes one archive at the given stack offset; every case's
  // archive is the same at every offset, and all but the streamed one equal
  // the plain function's.
  const auto packWith = [&](std::uint32_t threads, bool streamed, std::uint32_t offset) {
    Outcome outcome{{}, 0, 0};
    ZipFolderOptions options{};
    options.size = sizeof options;
    options.callback = CountAdded;
    options.context = &outcome.added;
    options.threads = threads;
    if (streamed) {
      options.write = Collect;
      options.writeContext = &outcome.archive;
    }
    const std::uint32_t args[] = {Arg(tree.c_str()), Arg(streamed ? nullptr : archive.c_str()),
                                  Arg(&options)};
    outcome.status = CallAtOffset(packEx, args, 3, offset);
    if (!streamed) outcome.archive = ReadAll(archive);
    return outcome;
  };
  const auto plain = [&](std::uint32_t offset) {
    const std::uint32_t args[] = {Arg(tree.c_str()), Arg(archive.c_str())};
    CallAtOffset(pack, args, 2, offset);
    return Outcome{ReadAll(archive), 12, ZIPFOLDER_DONE};
  };
  const auto wide = [&](std::uint32_t offset) {
    const std::uint32_t args[] = {Arg(wideTree.c_str()), Arg(wideArchive.c_str())};
    CallAtOffset(packW, args, 2, offset);
    return Outcome{ReadAll(archive), 12, ZIPFOLDER_DONE};
  };

  std::string reference;
  std::string streamedReference;
  int failures = 0;
  for (const std::uint32_t offset : {0u, 4u, 8u, 12u}) {
    const std::pair<const char*, Outcome> outcomes[] = {
        {"CompFilesToZipFile", plain(offset)},
        {"CompFilesToZipFileW", wide(offset)},
        {"CompFilesToZipFileEx, one thread", packWith(1, false, offset)},
        {"CompFilesToZipFileEx, two threads", packWith(2, false, offset)},
        {"CompFilesToZipFileEx, two threads, streamed", packWith(2, true, offset)},
    };
    for (const auto& [name, outcome] : outcomes) {
      const bool streamed = &outcome == &outcomes[4].second;
      std::string& want = streamed ? streamedReference : reference;
      if (want.empty()) want = outcome.archive;
      if (outcome.status != ZIPFOLDER_DONE || outcome.added != 12 || outcome.archive != want ||
          want.size() < 1000) {
        std::fprintf(
            stderr, "misaligned host: %s at stack offset %u: status %u, %d added, %u bytes\n", name,
            offset, outcome.status, outcome.added, static_cast<unsigned>(outcome.archive.size()));
        ++failures;
      }
    }
  }
  if (!WriteAll(work + "\\streamed.zip", streamedReference)) ++failures;
  FreeLibrary(library);
  if (failures != 0) return 1;
  std::printf("misaligned host: all cases ran\n");
  return 0;
}
