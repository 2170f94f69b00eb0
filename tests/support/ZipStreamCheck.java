// Reads a ZIP archive from standard input as Java's forward-only reader does,
// which refuses a data descriptor after stored data, and prints one line per
// entry: its name, the bytes read and their CRC-32 in hex. The reader checks
// each entry's CRC-32 and sizes against its header or descriptor itself.
import java.io.BufferedInputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.zip.CRC32;
import java.util.zip.ZipEntry;
import java.util.zip.ZipInputStream;

public class ZipStreamCheck {
  public static void main(String[] args) throws IOException {
    byte[] buffer = new byte[65536];
    try (ZipInputStream in =
        new ZipInputStream(new BufferedInputStream(System.in), StandardCharsets.UTF_8)) {
      for (ZipEntry entry = in.getNextEntry(); entry != null; entry = in.getNextEntry()) {
        CRC32 crc = new CRC32();
        long size = 0;
        for (int n = in.read(buffer); n > 0; n = in.read(buffer)) {
          crc.update(buffer, 0, n);
          size += n;
        }
        System.out.printf("%s\t%d\t%08x%n", entry.getName(), size, crc.getValue());
      }
    }
  }
}
