'use strict';
// packStream(): the streamed archive is the library's, the reader sets the
// pace and memory stays bounded, destroying the stream stops the pack; and
// a pack leaves the event loop free.

const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { pipeline } = require('node:stream/promises');
const { Writable } = require('node:stream');
const { test } = require('node:test');

const zipfolder = require('..');
const { MIB, tempDir, makeTree, checkArchive } = require('./support');

const INCLUDE = '/usr/include';

function randomTree(root, count) {
  return makeTree(root, Object.fromEntries(
    Array.from({ length: count }, (_, i) => [`d${i % 3}/f${i}.bin`, crypto.randomBytes(MIB)])));
}

// Every file's bytes in archive order, as unzip reads them.
function contents(file) {
  return execFileSync('unzip', ['-p', file], { maxBuffer: 1 << 30 });
}

test('packStream piped to a file is pack() into a pipe, and holds what pack() to a file holds',
  async (t) => {
    const dir = tempDir(t);
    const src = makeTree(path.join(dir, 'src'), {
      ...Object.fromEntries(Array.from({ length: 40 }, (_, i) => [`t/${i}.txt`,
        Buffer.from(`text ${i} `.repeat(20000))])),
      'r.bin': crypto.randomBytes(3 * MIB),
    });
    const streamed = path.join(dir, 'streamed.zip');
    const stream = zipfolder.packStream(src, { sort: true });
    let result;
    stream.on('result', (r) => { result = r; });
    await pipeline(stream, fs.createWriteStream(streamed));
    assert.equal(result.archiveSize, fs.statSync(streamed).size);
    assert.equal(result.entries, 41);

    const fifo = path.join(dir, 'fifo');
    execFileSync('mkfifo', [fifo]);
    const cat = spawn('cat', [fifo]);
    const piped = [];
    cat.stdout.on('data', (chunk) => piped.push(chunk));
    const closed = new Promise((resolve) => cat.on('close', resolve));
    await zipfolder.pack(src, fifo, { sort: true });
    await closed;
    assert.ok(Buffer.concat(piped).equals(fs.readFileSync(streamed)));

    const file = path.join(dir, 'file.zip');
    await zipfolder.pack(src, file, { sort: true });
    assert.ok(contents(file).equals(contents(streamed)));
    checkArchive(assert, streamed, { forwardOnly: true });
    checkArchive(assert, file, { forwardOnly: true });
  });

function anonymousMemory() {
  const status = fs.readFileSync('/proc/self/status', 'utf8');
  return Number(/RssAnon:\s+(\d+)/.exec(status)[1]) * 1024;
}

test('a reader pausing a second every megabyte holds the pack back; memory stays bounded',
  async (t) => {
    const dir = tempDir(t);
    const src = randomTree(path.join(dir, 'src'), 16);
    const before = anonymousMemory();
    let peak = before;
    let read = 0;
    let taken = 0;
    let lead = 0;
    let queued = 0;
    const stream = zipfolder.packStream(src, { onProgress: (event) => { read = event.bytesRead; } });
    let next = MIB;
    await pipeline(stream, new Writable({
      highWaterMark: 16 * 1024,
      write(chunk, _encoding, done) {
        taken += chunk.length;
        lead = Math.max(lead, read - taken);
        queued = Math.max(queued, stream.readableLength);
        peak = Math.max(peak, anonymousMemory());
        if (taken < next) return done();
        next += MIB;
        return setTimeout(done, 1000);
      },
    }));
    t.diagnostic(`archive ${(taken / MIB).toFixed(1)} MiB; anonymous memory ${
      (before / MIB).toFixed(1)} MiB before, ${(peak / MIB).toFixed(1)} MiB at the peak; the pack `
      + `read at most ${(lead / MIB).toFixed(2)} MiB ahead of the reader`);
    assert.ok(taken > 16 * MIB);
    // The library reads on only as the reader takes the archive.
    assert.ok(lead < 4 * MIB, `read ${lead} bytes ahead`);
    assert.ok(queued <= stream.readableHighWaterMark + 256 * 1024, `${queued} bytes queued`);
    assert.ok(peak - before < 64 * MIB, `${peak - before} bytes more`);
  });

test('destroying the stream stops the pack', async (t) => {
  const dir = tempDir(t);
  const src = randomTree(path.join(dir, 'src'), 24);
  for (const how of ['destroy', 'abort']) {
    const controller = new AbortController();
    const stream = zipfolder.packStream(src, { level: 9, signal: controller.signal });
    let events = 0;
    stream.once('data', () => (how === 'destroy' ? stream.destroy() : controller.abort()));
    stream.on('data', () => events++);
    const started = Date.now();
    const error = await new Promise((resolve) => {
      stream.on('error', resolve);
      stream.on('close', () => resolve(null));
    });
    if (how === 'abort') assert.equal(error?.name, 'AbortError');
    assert.ok(Date.now() - started < 2000);
    assert.equal(events, 1);
  }
});

// The worst lateness of a 10 ms timer while work runs (or, without work,
// for a while): a loaded machine makes an idle loop late too.
async function timerLateness(work) {
  let last = performance.now();
  let late = 0;
  const timer = setInterval(() => {
    const now = performance.now();
    late = Math.max(late, now - last - 10);
    last = now;
  }, 10);
  try {
    return { value: await work(), late };
  } finally {
    clearInterval(timer);
  }
}

test('a 10 ms timer is never 50 ms late while /usr/include is packed', { skip: !fs.existsSync(INCLUDE) },
  async (t) => {
    const dir = tempDir(t);
    const idle = await timerLateness(() => new Promise((resolve) => setTimeout(resolve, 3000)));
    const { value: result, late } = await timerLateness(
      () => zipfolder.pack(INCLUDE, path.join(dir, 'include.zip')));
    t.diagnostic(`${result.entries} files; the timer was at most ${late.toFixed(1)} ms late `
      + `(${idle.late.toFixed(1)} ms in 3 s without a pack)`);
    // The bound is over what the machine's other load alone causes.
    assert.ok(late < 50 + idle.late, `${late} ms late`);
    checkArchive(assert, path.join(dir, 'include.zip'));
  });
