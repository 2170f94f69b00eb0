"""Lists a ZIP archive with Python's own reader, one tab-separated line per
entry, after reading every entry in full (which checks its CRC-32)."""
import sys
import zipfile
import zlib

with zipfile.ZipFile(sys.argv[1]) as archive:
    for info in archive.infolist():
        data = archive.read(info)
        y, mo, d, h, mi, s = info.date_time
        dos = ((y - 1980) << 25) | (mo << 21) | (d << 16) | (h << 11) | (mi << 5) | (s // 2)
        # Names are printed as the bytes the archive holds, in hex.
        raw = info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
        print("\t".join([
            raw.hex(),
            str(info.compress_type),
            str(info.flag_bits),
            "%08x" % info.CRC,
            str(info.compress_size),
            str(info.file_size),
            "%08x" % info.external_attr,
            "%08x" % dos,
            str(info.header_offset),
            info.extra.hex(),
            str(info.internal_attr),
            "%08x" % (zlib.crc32(data) & 0xFFFFFFFF),
        ]))
