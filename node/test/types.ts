// Compiled (not run) by types.test.js: index.d.ts describes what callers use.
import { pack, packStream, processorCount, ZipFolderError, STATUS } from 'zipfolder';
import type { ProgressEvent, Result } from 'zipfolder';
import { createWriteStream } from 'node:fs';

export async function use(): Promise<void> {
  const result: Result = await pack('src', 'a.zip', {
    threads: processorCount(), level: 0, exclude: ['*.o'], include: [Buffer.from('*.c')],
    gitignore: true, prefix: 'p', folders: 'all', symlinks: true, sort: true,
    mtimeCeiling: new Date(), signal: AbortSignal.timeout(10),
    onProgress: (event: ProgressEvent) => {
      if (event.kind === 'left-out' && event.reason === 'cannot-open') console.log(event.name);
    },
  });
  console.log(result.leftOut[0]?.code, result.archiveSize, result.excluded);
  const stream = packStream(new URL('file:///src'), { highWaterMark: 1 << 16 });
  stream.on('result', (done: Result) => console.log(done.entries));
  stream.pipe(createWriteStream('a.zip'));
  await pack('src', 'c.zip', { password: 'secret', encryption: 'aes128' });
  packStream('src', { password: Buffer.from('secret'), encryption: 'zipcrypto' });
  try {
    await pack('src', 'b.zip');
  } catch (error) {
    if (error instanceof ZipFolderError && error.status === STATUS.NO_SOURCE) {
      console.log(error.code, error.errno, error.systemCode, error.path);
    }
  }
}
