"""Reads an archive whose data went through the tests' toy filter, with
Python's zipfile for the directory and zlib for the data: every entry must
say method 99, bit 0 and CRC 0, carry a 0x9901 field naming its real method,
and its data, once the filter's bytes are taken off and undone, must give
the file under the folder of the same name. Prints "ok" and the count."""
import struct
import sys
import zipfile
import zlib

archive_path, folder = sys.argv[1], sys.argv[2]
LEAD, TRAIL, KEY = b"LED", b"TR", 0x5A


def field(extra, wanted):
    at = 0
    while at + 4 <= len(extra):
        fid, size = struct.unpack_from("<HH", extra, at)
        if fid == wanted:
            return extra[at + 4:at + 4 + size]
        at += 4 + size
    raise SystemExit("no field %#x" % wanted)


count = 0
with open(archive_path, "rb") as raw, zipfile.ZipFile(archive_path) as z:
    for info in z.infolist():
        if info.is_dir():
            continue
        assert info.compress_type == 99, (info.filename, info.compress_type)
        assert info.flag_bits & 1, info.filename
        assert info.CRC == 0, info.filename
        data = field(info.extra, 0x9901)
        version, vendor, strength, method = struct.unpack("<H2sBH", data)
        assert (version, vendor, strength) == (2, b"AE", 3), data
        raw.seek(info.header_offset)
        header = raw.read(30)
        assert header[:4] == b"PK\x03\x04"
        name_len, extra_len = struct.unpack_from("<HH", header, 26)
        local_extra = raw.read(name_len + extra_len)[name_len:]
        assert field(local_extra, 0x9901) == data, info.filename
        body = raw.read(info.compress_size)
        assert body[:3] == LEAD and body[-2:] == TRAIL, info.filename
        plain = bytes(b ^ KEY for b in body[3:-2])
        if method == 8:
            plain = zlib.decompress(plain, -15)
        else:
            assert method == 0, method
        with open(folder + "/" + info.filename, "rb") as source:
            assert plain == source.read(), info.filename
        count += 1
print("ok", count)
