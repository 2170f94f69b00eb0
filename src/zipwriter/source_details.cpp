#include "zipwriter/source_details.h"

namespace zf {
namespace {

constexpr std::int64_t kUnixEpochTicks = 116'444'736'000'000'000;
constexpr std::int64_t kTicksPerSecond = 10'000'000;
// The DOS date counts years from 1980 in seven bits: 1980-01-01 00:00:00 up
// to 2107-12-31 23:59:59, in UTC calendar fields like every DOS time here.
constexpr std::int64_t kDosFirstTicks = kUnixEpochTicks + 315'532'800 * kTicksPerSecond;
constexpr std::int64_t kDosEndTicks = kUnixEpochTicks + 4'354'819'200 * kTicksPerSecond;
// The extended timestamp's 32 bits, read as unsigned, reach 2106-02-07
// 06:28:15; times before 1970 readers take apart, some reading the field
// as signed and some not.
constexpr std::int64_t kUnixLastTicks = kUnixEpochTicks + 0xFFFF'FFFFll * kTicksPerSecond;

}  // namespace

std::uint32_t ExternalAttributes(std::uint32_t attributes, bool executable) {
  std::uint32_t result = attributes & 0x37;
  result |= (attributes & kAttrDirectory) != 0 ? 0x40000000u : 0x80000000u;
  result |= 0x01000000;  // owner may read
  if ((attributes & kAttrReadOnly) == 0) result |= 0x00800000;
  if (executable) result |= 0x00400000;
  return result;
}

std::uint32_t UnixModeAttributes(std::uint32_t attributes, std::uint32_t mode) {
  return (mode & 0xFFFF) << 16 | (attributes & 0x37);
}

namespace {

bool ReadAt(OsFile source, std::uint64_t position, std::uint8_t* bytes, std::uint32_t count) {
  std::uint32_t got = 0;
  return OsSeek(source, position) && OsRead(source, bytes, count, &got) && got == count;
}

std::uint32_t LittleEndian32(const std::uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

OsFileTime ClampToStoredTimes(OsFileTime time) {
  if (time < kUnixEpochTicks) return kDosFirstTicks;
  return time > kUnixLastTicks ? kUnixLastTicks : time;
}

std::int32_t FileTimeToUnix(OsFileTime time) {
  // The quotient truncates toward zero; the field's bits, as unsigned.
  const auto seconds = (ClampToStoredTimes(time) - kUnixEpochTicks) / kTicksPerSecond;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(seconds));
}

std::uint32_t FileTimeToDos(OsFileTime time) {
  // Out of range times take the nearest end rather than wrap the year: a
  // file from 1970 must not show as one from 2098. The extended timestamp
  // keeps the true time.
  if (time < kDosFirstTicks) return kDosEpoch;
  if (time >= kDosEndTicks) return kDosLast;
  OsCalendar c;
  if (!OsTimeToCalendar(time, &c)) return kDosEpoch;
  const std::uint32_t dosTime = c.hour << 11 | c.minute << 5 | c.second / 2;
  const std::uint32_t dosDate = (c.year - 1980u) << 9 | c.month << 5 | c.day;
  return dosDate << 16 | dosTime;
}

OsFileTime UnixToFileTime(std::int64_t seconds) {
  constexpr std::int64_t kLast = (INT64_MAX - kUnixEpochTicks) / kTicksPerSecond;
  if (seconds > kLast) return INT64_MAX;
  if (seconds < -kUnixEpochTicks / kTicksPerSecond) return 0;
  return kUnixEpochTicks + seconds * kTicksPerSecond;
}

void SetDetailsTimes(const ZipWriter* writer, SourceDetails* details, const OsFileFacts& facts) {
  const OsFileTime ceiling = writer->choices->clampTimes ? writer->choices->timeCeiling : INT64_MAX;
  const auto clamp = [ceiling](OsFileTime time) { return time < ceiling ? time : ceiling; };
  details->accessTime = FileTimeToUnix(clamp(facts.lastAccess));
  details->modifyTime = FileTimeToUnix(clamp(facts.lastWrite));
  details->createTime = FileTimeToUnix(clamp(facts.creation));
  details->dosDateTime = FileTimeToDos(ClampToStoredTimes(clamp(facts.lastWrite)));
}

void CurrentDosTime(const ZipWriter* writer, SourceDetails* details) {
  const OsFileTime now = OsLocalClock();
  SetDetailsTimes(writer, details, OsFileFacts{0, 0, now, now, now, 0});
  details->externalAttributes = 0x80000000;
  details->unixHost = false;
}

bool IsExecutableHeader(OsFile source, std::uint64_t size) {
  // The stub and the header's offset in one read: a look at every source.
  std::uint8_t stub[64];
  std::uint8_t word[4];
  if (size <= 40 || !ReadAt(source, 0, stub, sizeof stub)) return false;
  const std::uint64_t headerAt = LittleEndian32(stub + 60);
  if (stub[0] != 'M' || stub[1] != 'Z' || size <= headerAt + 52) return false;
  if (!ReadAt(source, headerAt, word, 4)) return false;
  const std::uint32_t magic = LittleEndian32(word);
  return magic == 0x00004550 || magic == 0x0000454E || magic == 0x0000454C || magic == 0x00005A4D;
}

std::int32_t ReadSourceInfo(ZipWriter* writer, SourceDetails* details) {
  // A source that cannot be positioned gets its details from the clock.
  if (!OsSeek(writer->current.source, 0)) {
    writer->current.sourceSize = kSizeUnknown;
    return ErrNone;
  }
  writer->current.sourceInfoKnown = true;
  OsFileFacts facts;
  if (!OsGetFacts(writer->current.source, &facts)) return ErrOpen;
  writer->current.sourceSize = facts.size;
  // The source's own mode says whether it may be run; without it the first
  // bytes tell a Windows program.
  details->unixHost = writer->choices->unixModes && facts.unixMode != 0;
  if (details->unixHost) {
    details->externalAttributes = UnixModeAttributes(facts.attributes, facts.unixMode);
  } else {
    const bool executable = IsExecutableHeader(writer->current.source, facts.size);
    details->externalAttributes = ExternalAttributes(facts.attributes, executable);
  }
  // The data must be read from its first byte.
  if (!OsSeek(writer->current.source, 0)) return ErrOpen;
  SetDetailsTimes(writer, details, facts);
  return ErrNone;
}

}  // namespace zf
