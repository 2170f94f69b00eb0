#include "support/hand_zip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "zipwriter/format_numbers.h"

namespace zft {
namespace {

void Put16(std::vector<std::uint8_t>* out, std::uint32_t value) {
  out->push_back(static_cast<std::uint8_t>(value));
  out->push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>* out, std::uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

void PutBytes(std::vector<std::uint8_t>* out, const void* bytes, std::size_t count) {
  const auto* at = static_cast<const std::uint8_t*>(bytes);
  out->insert(out->end(), at, at + count);
}

bool HasDescriptor(const HandEntry& entry) { return (entry.flags & zf::kFlagDataDescriptor) != 0; }

// The fields from "version needed" to the extra field's length, which both
// headers share; with a descriptor the local header leaves CRC and sizes 0.
void PutCommon(std::vector<std::uint8_t>* out, const HandEntry& entry, bool local) {
  const bool zeros = local && HasDescriptor(entry);
  Put16(out, entry.versionNeeded);
  Put16(out, entry.flags);
  Put16(out, entry.method);
  Put32(out, entry.dosDateTime);
  Put32(out, zeros ? 0 : entry.crc);
  Put32(out, zeros ? 0 : static_cast<std::uint32_t>(entry.data.size()));
  Put32(out, zeros ? 0 : entry.size);
  Put16(out, static_cast<std::uint32_t>(entry.name.size()));
  Put16(out, static_cast<std::uint32_t>(entry.extra.size()));
}

}  // namespace

std::vector<std::uint8_t> HandArchive(const std::vector<HandEntry>& entries) {
  std::vector<std::uint8_t> out;
  std::vector<std::uint32_t> offsets;
  for (const HandEntry& entry : entries) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    Put32(&out, zf::kLocalHeaderSignature);
    PutCommon(&out, entry, true);
    PutBytes(&out, entry.name.data(), entry.name.size());
    PutBytes(&out, entry.extra.data(), entry.extra.size());
    PutBytes(&out, entry.data.data(), entry.data.size());
    if (HasDescriptor(entry)) {
      Put32(&out, zf::kDataDescriptorSignature);
      Put32(&out, entry.crc);
      Put32(&out, static_cast<std::uint32_t>(entry.data.size()));
      Put32(&out, entry.size);
    }
  }
  const auto start = static_cast<std::uint32_t>(out.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const HandEntry& entry = entries[i];
    Put32(&out, zf::kCentralHeaderSignature);
    Put16(&out, zf::kVersionMadeByClassic);
    PutCommon(&out, entry, false);
    Put16(&out, 0);  // comment length
    Put16(&out, 0);  // disk
    Put16(&out, 0);  // internal attributes
    Put32(&out, 0);  // external attributes
    Put32(&out, offsets[i]);
    PutBytes(&out, entry.name.data(), entry.name.size());
    PutBytes(&out, entry.extra.data(), entry.extra.size());
  }
  const auto size = static_cast<std::uint32_t>(out.size()) - start;
  Put32(&out, zf::kEndRecordSignature);
  Put32(&out, 0);  // this disk and the directory's
  Put16(&out, static_cast<std::uint32_t>(entries.size()));
  Put16(&out, static_cast<std::uint32_t>(entries.size()));
  Put32(&out, size);
  Put32(&out, start);
  Put16(&out, 0);  // comment length
  return out;
}

std::vector<std::uint8_t> RawDeflate(const std::vector<std::uint8_t>& data) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY),
            Z_OK);
  std::vector<std::uint8_t> out(deflateBound(&stream, static_cast<uLong>(data.size())));
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace zft
