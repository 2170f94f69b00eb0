// The few operating-system services the archive writer and the folder walk
// need. Each system has one implementation file behind this header; nothing
// else in the library includes an operating-system header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zf {

// An open file: a Win32 HANDLE or a POSIX descriptor, widened to a pointer.
using OsFile = std::intptr_t;
inline constexpr OsFile kNoFile = -1;

// 100-nanosecond units since 1601-01-01 00:00 UTC; negative only for times
// before 1601, which a POSIX file system can record.
using OsFileTime = std::int64_t;

// Calendar fields of an OsFileTime, taken without any time-zone change.
struct OsCalendar {
  std::uint16_t year;
  std::uint16_t month;  // 1..12
  std::uint16_t day;    // 1..31
  std::uint16_t hour;
  std::uint16_t minute;
  std::uint16_t second;
};

// Windows attribute bits; the POSIX layer maps its mode onto them.
inline constexpr std::uint32_t kAttrReadOnly = 0x01;
inline constexpr std::uint32_t kAttrHidden = 0x02;
inline constexpr std::uint32_t kAttrSystem = 0x04;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;

struct OsFileFacts {
  std::uint64_t size;
  std::uint32_t attributes;
  OsFileTime lastWrite;
  OsFileTime lastAccess;
  OsFileTime creation;  // birth time where recorded, else the last write time
  // The POSIX mode: file type and every permission bit; 0 on Windows,
  // whose attributes say all it records.
  std::uint32_t unixMode;
};

// What makes a folder unique on its volume, to notice a link back to an
// ancestor during the walk; and a file, to notice one of the archive's own.
struct OsFolderId {
  std::uint64_t volume;
  std::uint64_t index;
};

struct OsFolderScan;  // one open folder enumeration, owned by the platform
struct OsThread;      // a started thread, owned by the platform until joined
struct OsMonitor;     // a lock with one condition to wait for under it

// Paths and names are UTF-8 on both systems. On Windows the platform layer
// turns them into the system's UTF-16 and back, so a path may be as long as
// the system's 32,767 units, each of which takes at most three bytes.
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
inline constexpr std::uint32_t kMaxPathBytes = 3 * 32767 + 1;  // terminating zero included
#else
inline constexpr char kPathSeparator = '/';
inline constexpr std::uint32_t kMaxPathBytes = 4096;  // PATH_MAX
#endif
inline constexpr bool kNamesAreUtf8 = true;

// Creates or truncates a file for writing, held without sharing until closed.
OsFile OsCreateArchive(const char* path);
// Opens an existing regular file for reading, sharing reading with others.
// When id is given, it receives the file's identity (as OsGetFileId) as
// soon as the file is open, also when it is then refused (a lock held on
// it); zeros when it was never opened.
OsFile OsOpenSource(const char* path, OsFolderId* id = nullptr);
// The identity of an open file: device and file number, or on Windows the
// volume and the file index of the handle. False when it cannot be had.
bool OsGetFileId(OsFile file, OsFolderId* id);
// Writes one block; false on failure, the count written in *written.
bool OsWrite(OsFile file, const void* data, std::uint32_t count, std::uint32_t* written);
// Reads one block; false on failure, the count read (0 at the end) in *got.
bool OsRead(OsFile file, void* data, std::uint32_t count, std::uint32_t* got);
// Moves to an absolute position, also past 4 GiB.
bool OsSeek(OsFile file, std::uint64_t position);
// Sets the end of the file at its current position.
bool OsSetEnd(OsFile file);
// Creates a new file for reading and writing, for the worker threads'
// output beyond what memory holds; it leaves no trace once closed (or the
// process ends). kNoFile when the path exists or cannot be created.
OsFile OsCreateScratch(const char* path);
// Positioned writes and reads that leave the file position alone, so that
// one thread may write a file while another reads what is written already.
bool OsWriteAt(OsFile file, std::uint64_t position, const void* data, std::uint32_t count);
bool OsReadAt(OsFile file, std::uint64_t position, void* data, std::uint32_t count,
              std::uint32_t* got);
// A second handle on an open source, for OsReadAt on other threads while
// the first is read in order (a positioned read moves a Windows handle's
// position too); kNoFile when none can be had. Closed with OsClose.
OsFile OsReopenForReadsAt(OsFile source);
// Gives back the disk space of a file's first bytes, which are read already;
// false where the system cannot.
bool OsDiscardStart(OsFile file, std::uint64_t bytes);
// Closes a file opened by this layer. False when the system reports a
// failure at close (a write it could not complete, on some file systems):
// for a file written, a failed write.
bool OsClose(OsFile file);
// Size, attributes and the three times of an open file.
bool OsGetFacts(OsFile file, OsFileFacts* facts);
// Splits a file time into calendar fields; false outside the convertible range.
bool OsTimeToCalendar(OsFileTime time, OsCalendar* calendar);
// The local wall-clock time, expressed as if it were a UTC file time.
OsFileTime OsLocalClock();
// Starts listing one folder; null when it cannot be listed.
OsFolderScan* OsOpenFolder(const char* folder);
// The next name in the folder ("." and ".." included), or null at the end
// or when the listing fails.
const char* OsNextName(OsFolderScan* scan);
// True once OsNextName has ended on a failure instead of the end: the names
// not listed are lost to the caller.
bool OsListingFailed(const OsFolderScan* scan);
// Ends a listing started by OsOpenFolder.
void OsCloseFolder(OsFolderScan* scan);
// True when the path names a folder (links followed).
bool OsIsFolder(const char* path);
// The identity of a folder (links followed); false when it cannot be had.
bool OsGetFolderId(const char* path, OsFolderId* id);
// Size, attributes and times of what the path names, a link itself unless
// followLinks, without opening it: for folders and links stored as entries.
bool OsGetPathFacts(const char* path, bool followLinks, OsFileFacts* facts);
// True when the path is a symbolic link. Always false on Windows, where the
// walk follows links.
bool OsIsLink(const char* path);
// The text of the link at path, with a terminating zero, in at most
// capacity bytes; its length in *length. False when it cannot be read or
// does not fit.
bool OsReadLink(const char* path, char* target, std::size_t capacity, std::size_t* length);
// Allocates a fixed block; null when memory is short.
void* OsAllocate(std::size_t bytes);
// Releases a block from OsAllocate; null is ignored.
void OsRelease(void* block);

#if defined(_WIN32)
// A caller's path in the ANSI code page, or in UTF-16, as the UTF-8 the rest
// of the library takes: one block from OsAllocate, null for a null path or
// when memory is short.
char* OsAnsiToUtf8(const char* text);
char* OsWideToUtf8(const wchar_t* text);
#endif

// What the reporting layer needs: the system's reason for the last failure,
// and an archive written under a name of its own until it is complete.
//
// The error number of the last failed operation of this layer, on this
// thread (errno or GetLastError); 0 when the failure was not the system's
// (a source that is not a regular file).
std::int32_t OsLastError();
// The system's text for an error number, cut to capacity bytes with its zero.
void OsErrorText(std::int32_t code, char* text, std::size_t capacity);
// True for the error numbers of a full disk or an exhausted quota.
bool OsIsDiskFull(std::int32_t code);
// True for the error numbers of exhausted memory or descriptors.
bool OsIsShortage(std::int32_t code);
// True for the error number of a name that is taken already.
bool OsIsNameTaken(std::int32_t code);
// The archive's file while it is written, held as OsCreateArchive holds
// one. Where the system allows it (Linux, O_TMPFILE), the file has no name
// in the folder until OsNameArchive gives it one, so that nothing is left
// behind however the process ends; kNoFile where it does not, or when the
// file cannot be created.
OsFile OsCreateNamelessArchive(const char* folder);
// Gives a file from OsCreateNamelessArchive the name path, which must not
// exist yet.
bool OsNameArchive(OsFile file, const char* path);
// A new archive file at path, held as OsCreateArchive holds one; kNoFile
// when the path exists (a link included) or the file cannot be created.
OsFile OsCreateNewArchive(const char* path);
// True when path names file itself, not a link or another file put at that
// name since.
bool OsIsFileAt(OsFile file, const char* path);
// Gives file the permission bits of the file at path, when there is one
// there; false only when they cannot be set.
bool OsCopyPermissions(const char* path, OsFile file);
// Where a file written at path lands: path itself, or, when path is a
// symbolic link, the end of its chain of links, which need not exist. One
// block from OsAllocate; null when memory is short or the links loop.
char* OsResolveLinks(const char* path);
// The system's error number for a folder met where a file is wanted.
std::int32_t OsFolderError();
// Claims the file at path, if there is one, as about to be replaced, so that
// its writer, or another claim, fails rather than lose its work: POSIX
// holds an exclusive lock on it in *held until OsClose; Windows checks that
// no one holds it without sharing and leaves *held kNoFile, as a file held
// open could not be replaced. False when someone holds it, or when it is
// not a regular file (a FIFO, a device), which an archive must not replace.
bool OsClaimExisting(const char* path, OsFile* held);
// Gives a file another name, replacing a file of that name.
bool OsRenameFile(const char* from, const char* to);
// Removes a file.
bool OsRemoveFile(const char* path);
// True when the standard error stream goes to a terminal.
bool OsErrorStreamIsTerminal();

// Archives that go where nothing can seek.
//
// True when path names a FIFO, a pipe or a character device (links
// followed): an archive is streamed into it, never created in its place.
bool OsIsStream(const char* path);
// Opens such a stream for writing, waiting for a FIFO's reader; kNoFile when
// it cannot be opened or is a regular file or a folder after all.
OsFile OsOpenStream(const char* path);
// The process's standard output, for writing; it stays open.
OsFile OsStandardOutput();
bool OsStandardOutputIsTerminal();

// For a program, never called by the library: opens the null device onto
// each of the standard input, output and error descriptors that is closed,
// so that no file opened later takes its number and receives what the
// program prints. False when that cannot be done.
bool OsOpenStandardStreams();
// A clock that only moves forward, for the time a job takes.
std::uint64_t OsMonotonicNanoseconds();

// Threads for compressing several files at once. The library starts them
// only when asked to, and joins every one before it returns.
// Runs run(context) on a new thread; null when none can be started.
OsThread* OsStartThread(void (*run)(void* context), void* context);
// Waits for the thread to end and releases it.
void OsJoinThread(OsThread* thread);
// The number of processors the process may run on, at least 1.
std::uint32_t OsProcessorCount();
// A lock and one condition; null when it cannot be had.
OsMonitor* OsCreateMonitor();
void OsDestroyMonitor(OsMonitor* monitor);
void OsEnterMonitor(OsMonitor* monitor);
void OsLeaveMonitor(OsMonitor* monitor);
// Leaves the monitor, waits for a wake (or a spurious return), enters again.
void OsWaitMonitor(OsMonitor* monitor);
// Wakes every thread waiting in the monitor.
void OsWakeMonitor(OsMonitor* monitor);

}  // namespace zf
