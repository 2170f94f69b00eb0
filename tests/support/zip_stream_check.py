"""Reads every entry of a ZIP archive with Python's own reader, a block at a
time so that entries of several GiB need no memory of their size (zipfile
checks each CRC-32 at the end of the entry), and prints one tab-separated
line per entry: name, size, compressed size, header offset."""
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1]) as archive:
    for info in archive.infolist():
        with archive.open(info) as entry:
            while entry.read(1 << 20):
                pass
        print("\t".join([info.filename, str(info.file_size), str(info.compress_size),
                         str(info.header_offset)]))
