// A host program using zipfolder.dll the way Windows applications do: it
// loads the DLL at run time, looks its functions up by their plain names and
// calls them with ANSI, UTF-16 and (the reporting function) UTF-8 paths. It lays out the cases a
// Windows user meets under the work folder given as its argument and leaves the archives in
// WORK\out for the checks made afterwards on the Linux side (check_host_archives.py), which know
// the same layout.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "zipfolder.h"

namespace {

using PackFunction = void(__cdecl*)(const char* srcFolder, const char* zipPath);
using PackFunctionW = void(__cdecl*)(const wchar_t* srcFolder, const wchar_t* zipPath);
using PackFunctionEx = std::int32_t(__cdecl*)(const char* srcFolder, const char* zipPath,
                                              const ZipFolderOptions* options);

int __cdecl CountAdded(void* context, const ZipFolderEvent* event) {
  if (event->kind == ZIPFOLDER_EVENT_ADDED) ++*static_cast<int*>(context);
  return 0;
}

bool Report(bool ok, const char* what, const std::string& path) {
  if (!ok) {
    std::fprintf(stderr, "host: %s failed for %s (error %lu)\n", what, path.c_str(),
                 static_cast<unsigned long>(GetLastError()));
  }
  return ok;
}

std::string Utf8(const std::wstring& text) {
  std::string bytes(text.size() * 3, '\0');
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(),
                          static_cast<int>(bytes.size()), nullptr, nullptr);
  bytes.resize(static_cast<std::size_t>(length));
  return bytes;
}

// The path in the ANSI code page; fails when the code page cannot spell it.
bool ToAnsi(const std::wstring& text, std::string* ansi) {
  BOOL lossy = FALSE;
  ansi->assign(text.size() * 2, '\0');
  const int length =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()),
                          ansi->data(), static_cast<int>(ansi->size()), nullptr, &lossy);
  ansi->resize(static_cast<std::size_t>(length));
  if (length == 0 || lossy != FALSE) {
    std::fprintf(stderr, "host: code page %u cannot spell %s\n", GetACP(), Utf8(text).c_str());
    return false;
  }
  return true;
}

bool MakeFolderW(const std::wstring& path) {
  return Report(CreateDirectoryW(path.c_str(), nullptr) != FALSE, "CreateDirectoryW", Utf8(path));
}

bool WriteWholeFileW(const std::wstring& path, const std::string& bytes) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (!Report(file != INVALID_HANDLE_VALUE, "CreateFileW", Utf8(path))) return false;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return Report(ok != FALSE && written == bytes.size(), "WriteFile", Utf8(path));
}

bool MakeFolder(const std::string& path) {
  return Report(CreateDirectoryA(path.c_str(), nullptr) != FALSE, "CreateDirectoryA", path);
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (!Report(file != INVALID_HANDLE_VALUE, "CreateFileA", path)) return false;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return Report(ok != FALSE && written == bytes.size(), "WriteFile", path);
}

// Sets the attributes and reads them back, so that a file system which
// cannot keep them shows here rather than as a puzzling archive field.
bool SetAttributes(const std::string& path, DWORD attributes) {
  if (!Report(SetFileAttributesA(path.c_str(), attributes) != FALSE, "SetFileAttributesA", path)) {
    return false;
  }
  const DWORD kept = GetFileAttributesA(path.c_str());
  if (kept != attributes) {
    std::fprintf(stderr, "host: %s keeps attributes 0x%lx, not 0x%lx\n", path.c_str(),
                 static_cast<unsigned long>(kept), static_cast<unsigned long>(attributes));
    return false;
  }
  return true;
}

// 2024-03-15 12:34:56 UTC as the last write time.
bool SetKnownWriteTime(const std::string& path) {
  SYSTEMTIME fields{};
  fields.wYear = 2024;
  fields.wMonth = 3;
  fields.wDay = 15;
  fields.wHour = 12;
  fields.wMinute = 34;
  fields.wSecond = 56;
  FILETIME time;
  if (!Report(SystemTimeToFileTime(&fields, &time) != FALSE, "SystemTimeToFileTime", path)) {
    return false;
  }
  const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!Report(file != INVALID_HANDLE_VALUE, "CreateFileA", path)) return false;
  const BOOL ok = SetFileTime(file, nullptr, nullptr, &time);
  CloseHandle(file);
  return Report(ok != FALSE, "SetFileTime", path);
}

// A minimal image: "MZ", the offset of the new header at byte 60, and
// "PE\0\0" there, with enough bytes behind it to count as a program.
std::string ExecutableImage() {
  std::string image(256, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[60] = static_cast<char>(0x80);
  image.replace(0x80, 4, std::string("PE\0\0", 4));
  for (std::size_t i = 0x84; i < image.size(); ++i) image[i] = static_cast<char>(i * 7);
  return image;
}

// Text-like bytes that compress, then noise that does not: several deflate
// blocks and more than one read buffer of input.
std::string MixedContent() {
  static const char* const kWords[] = {"folder ", "archive ", "entry ", "deflate ", "header ",
                                       "window ", "match ",   "tree ",  "\r\n"};
  std::string text;
  std::uint32_t state = 12345;
  while (text.size() < 150000) {
    state = state * 1103515245u + 12345u;
    text += kWords[(state >> 16) % 9];
  }
  for (int i = 0; i < 40000; ++i) {
    state = state * 1103515245u + 12345u;
    text += static_cast<char>(state >> 24);
  }
  return text;
}

// The tree that most cases pack: attributes, a known time, a program, a
// stored extension, nested and empty folders.
bool MakeTree(const std::string& tree) {
  return MakeFolder(tree) && WriteWholeFile(tree + "\\plain.txt", "plain text\r\n") &&
         WriteWholeFile(tree + "\\readonly.txt", "read only\r\n") &&
         SetAttributes(tree + "\\readonly.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY) &&
         WriteWholeFile(tree + "\\hidden.txt", "hidden\r\n") &&
         SetAttributes(tree + "\\hidden.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN) &&
         WriteWholeFile(tree + "\\system.txt", "system\r\n") &&
         SetAttributes(tree + "\\system.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM) &&
         WriteWholeFile(tree + "\\dated.txt", "written at a known time\r\n") &&
         SetKnownWriteTime(tree + "\\dated.txt") &&
         WriteWholeFile(tree + "\\program.exe", ExecutableImage()) &&
         WriteWholeFile(tree + "\\packed.gz", "not really gzip, stored all the same\r\n") &&
         WriteWholeFile(tree + "\\mixed.bin", MixedContent()) && MakeFolder(tree + "\\a") &&
         WriteWholeFile(tree + "\\a\\mid.txt", "one level down\r\n") &&
         MakeFolder(tree + "\\a\\b") && MakeFolder(tree + "\\a\\b\\c") &&
         WriteWholeFile(tree + "\\a\\b\\c\\deep.txt", "three levels down\r\n") &&
         MakeFolder(tree + "\\a\\b\\empty") && MakeFolder(tree + "\\empty");
}

// The forms a caller may write the same folder in, each packed into
// tree-FORM.zip: all must give the names of tree.zip.
bool PackPathForms(PackFunction pack, const std::string& work) {
  if (!Report(SetCurrentDirectoryA(work.c_str()) != FALSE, "SetCurrentDirectoryA", work)) {
    return false;
  }
  std::string forward = work;
  for (char& c : forward) c = c == '\\' ? '/' : c;
  const std::string forms[][2] = {
      {work + "\\tree\\", "slash"},           // a trailing separator
      {"tree", "relative"},                   // below the current folder
      {forward + "/tree", "forward"},         // "/" between folders
      {work.substr(0, 2) + "tree", "drive"},  // "Z:tree": the drive's current folder
      {work + "\\tree\\a\\..\\.", "dots"},    // "." and ".." folded
  };
  for (const auto& [path, form] : forms) {
    pack(path.c_str(), (work + "\\out\\tree-" + form + ".zip").c_str());
  }
  return true;
}

// The archive is written into the folder being packed.
bool PackIntoItself(PackFunction pack, const std::string& work) {
  const std::string folder = work + "\\self";
  if (!MakeFolder(folder) || !WriteWholeFile(folder + "\\one.txt", "one\r\n") ||
      !WriteWholeFile(folder + "\\two.txt", "two\r\n")) {
    return false;
  }
  pack(folder.c_str(), (folder + "\\self.zip").c_str());
  return true;
}

// One source is held open for writing without read sharing during the call.
bool PackWithLockedSource(PackFunction pack, const std::string& work) {
  const std::string folder = work + "\\locked";
  if (!MakeFolder(folder) || !WriteWholeFile(folder + "\\free.txt", "free\r\n") ||
      !WriteWholeFile(folder + "\\held.txt", "held\r\n")) {
    return false;
  }
  const std::string held = folder + "\\held.txt";
  const HANDLE holder = CreateFileA(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!Report(holder != INVALID_HANDLE_VALUE, "CreateFileA", held)) return false;
  pack(folder.c_str(), (work + "\\out\\locked.zip").c_str());
  CloseHandle(holder);
  return true;
}

// Names no ANSI code page spells all of, one the usual Western one does,
// and a file whose path passes 300 characters. Each file holds its own
// relative name (over and over, so that it deflates), so the checks can
// tell every entry from every other.
bool MakeNamesTree(const std::wstring& tree) {
  const std::wstring levels[] = {std::wstring(100, L'd'), std::wstring(100, L'e'),
                                 std::wstring(100, L'f')};
  const std::wstring folders[] = {L"\\\u65e5\u672c\u8a9e", L"\\long", L"\\long\\" + levels[0],
                                  L"\\long\\" + levels[0] + L"\\" + levels[1],
                                  L"\\long\\" + levels[0] + L"\\" + levels[1] + L"\\" + levels[2]};
  const std::wstring files[] = {L"plain.txt",
                                L"caf\u00e9.txt",
                                L"\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac.txt",
                                L"\u65e5\u672c\u8a9e\\\u30d5\u30a1\u30a4\u30eb.txt",
                                L"emoji_\U0001F600.txt",
                                folders[4].substr(1) + L"\\long-file.txt"};
  // The prefix lets the host itself reach the long path.
  const std::wstring root = L"\\\\?\\" + tree;
  if (!MakeFolderW(root)) return false;
  for (const std::wstring& folder : folders) {
    if (!MakeFolderW(root + folder)) return false;
  }
  for (const std::wstring& file : files) {
    std::string name = Utf8(file);
    for (char& c : name) c = c == '\\' ? '/' : c;
    std::string content;
    for (int i = 0; i < 40; ++i) content += name + "\r\n";
    if (!WriteWholeFileW(root + L"\\" + file, content)) return false;
  }
  return true;
}

// Packs the names tree through every export: the ANSI one with paths the
// code page spells (a root and an archive named with an accent), the UTF-16
// one with an archive name no Western code page spells, and the reporting
// one with UTF-8 paths and two worker threads, which must tell of each file.
bool PackNames(PackFunction pack, PackFunctionW packW, PackFunctionEx packEx,
               const std::wstring& work) {
  const std::wstring tree = work + L"\\names-caf\u00e9";
  if (!MakeNamesTree(tree)) return false;
  std::string ansiTree;
  std::string ansiArchive;
  if (!ToAnsi(tree, &ansiTree) ||
      !ToAnsi(work + L"\\out\\names-caf\u00e9-ansi.zip", &ansiArchive)) {
    return false;
  }
  pack(ansiTree.c_str(), ansiArchive.c_str());
  packW(tree.c_str(), (work + L"\\out\\names-\u03b5\u03bb-wide.zip").c_str());
  int added = 0;
  ZipFolderOptions options{};
  options.size = sizeof options;
  options.callback = CountAdded;
  options.context = &added;
  options.threads = 2;
  const std::int32_t status = packEx(
      Utf8(tree).c_str(), Utf8(work + L"\\out\\names-\u03b5\u03bb-utf8.zip").c_str(), &options);
  if (status != ZIPFOLDER_DONE || added != 6) {
    std::fprintf(stderr, "host: CompFilesToZipFileEx gave status %d, %d files added\n",
                 static_cast<int>(status), added);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: host WORK_FOLDER\n");
    return 2;
  }
  const std::string work = argv[1];

  const HMODULE library = LoadLibraryA("zipfolder.dll");
  if (!Report(library != nullptr, "LoadLibraryA", "zipfolder.dll")) return 1;
  const FARPROC found = GetProcAddress(library, "CompFilesToZipFile");
  if (!Report(found != nullptr, "GetProcAddress", "CompFilesToZipFile")) return 1;
  const FARPROC foundW = GetProcAddress(library, "CompFilesToZipFileW");
  if (!Report(foundW != nullptr, "GetProcAddress", "CompFilesToZipFileW")) return 1;
  const FARPROC foundEx = GetProcAddress(library, "CompFilesToZipFileEx");
  if (!Report(foundEx != nullptr, "GetProcAddress", "CompFilesToZipFileEx")) return 1;
  // Through void(*)(): the one function type GCC lets any other convert to.
  const auto pack = reinterpret_cast<PackFunction>(reinterpret_cast<void (*)()>(found));
  const auto packW = reinterpret_cast<PackFunctionW>(reinterpret_cast<void (*)()>(foundW));
  const auto packEx = reinterpret_cast<PackFunctionEx>(reinterpret_cast<void (*)()>(foundEx));

  const std::string tree = work + "\\tree";
  const std::string out = work + "\\out";
  if (!MakeFolder(out) || !MakeTree(tree)) return 1;

  pack(tree.c_str(), (out + "\\tree.zip").c_str());
  if (!PackPathForms(pack, work)) return 1;
  if (!PackIntoItself(pack, work) || !PackWithLockedSource(pack, work)) return 1;
  std::wstring wideWork(work.size(), L'\0');
  wideWork.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_ACP, 0, work.c_str(), static_cast<int>(work.size()), wideWork.data(),
                          static_cast<int>(wideWork.size()))));
  if (!PackNames(pack, packW, packEx, wideWork)) return 1;

  // A folder that does not exist still replaces the archive, with an empty one.
  if (!WriteWholeFile(out + "\\missing.zip", "an older file in the way")) return 1;
  pack((work + "\\no such folder").c_str(), (out + "\\missing.zip").c_str());

  // Null arguments: nothing happens, and no file appears.
  pack(nullptr, (out + "\\null-source.zip").c_str());
  pack(tree.c_str(), nullptr);
  packW(nullptr, (wideWork + L"\\out\\null-source.zip").c_str());

  FreeLibrary(library);
  std::printf("host: all cases ran\n");
  return 0;
}
