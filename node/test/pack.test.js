'use strict';
// pack(): every option gives the C tool's archive for the same choices,
// events, results, aborts and one error for each failure status.

const assert = require('node:assert/strict');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');

const zipfolder = require('..');
const { TREE, tempDir, makeTree, toolArchive, checkArchive, names, MIB } = require('./support');

// (options of pack, the tool's arguments for the same choices)
const CHOICES = [
  [{}, []],
  [{ threads: 1 }, ['-T', '1']],
  [{ threads: 2, level: 9 }, ['-T', '2', '-9']],
  [{ level: 0 }, ['-0']],
  [{ level: 1 }, ['-1']],
  [{ level: 6 }, ['-6']],
  [{ exclude: ['*.csv', '.git*'] }, ['-x', '*.csv', '-x', '.git*']],
  [{ include: ['*.md'] }, ['-i', '*.md']],
  [{ gitignore: true }, ['--gitignore']],
  [{ prefix: 'top/v1' }, ['--prefix=top/v1']],
  [{ folders: 'empty' }, ['--folders=empty']],
  [{ folders: 'all' }, ['--folders=all']],
  [{ symlinks: true }, ['--symlinks']],
  [{ sort: true }, ['--sort']],
  [{ mtimeCeiling: 1_000_000_000 }, ['--mtime-ceiling=1000000000']],
  [{ mtimeCeiling: new Date(1_000_000_000_500) }, ['--mtime-ceiling=1000000000']],
  [{ unixModes: false, storeIncompressible: false, storedTypes: [] },
    ['--no-unix-modes', '--always-deflate', '--store=']],
  [{ storedTypes: ['md', 'txt'] }, ['--store=md,txt']],
  [{ gitignore: true, sort: true, prefix: 'p', folders: 'all', symlinks: true, level: 3,
    mtimeCeiling: 86400 }, ['--gitignore', '--sort', '--prefix=p', '--folders=all',
    '--symlinks', '-3', '--mtime-ceiling=86400']],
];

test('every option gives the tool\'s archive, to a file and as a stream', async (t) => {
  const dir = tempDir(t);
  const src = makeTree(path.join(dir, 'src'));
  fs.symlinkSync('README.txt', path.join(src, 'link'));
  for (const [options, args] of CHOICES) {
    const label = JSON.stringify(options);
    const dst = path.join(dir, 'a.zip');
    const result = await zipfolder.pack(src, dst, options);
    const expected = toolArchive(args, src, path.join(dir, 'tool.zip'));
    assert.ok(fs.readFileSync(dst).equals(expected), label);
    assert.equal(result.archiveSize, expected.length, label);
    checkArchive(assert, dst);

    const chunks = [];
    for await (const chunk of zipfolder.packStream(src, options)) chunks.push(chunk);
    assert.ok(Buffer.concat(chunks).equals(toolArchive(args, src, '-')), `stream ${label}`);
  }
});

test('the result and the events tell what was packed and left out', async (t) => {
  const dir = tempDir(t);
  const src = makeTree(path.join(dir, 'src'));
  const fifo = path.join(src, 'fifo');
  execFileSync('mkfifo', [fifo]);
  const events = [];
  const result = await zipfolder.pack(src, path.join(dir, 'a.zip'), {
    exclude: ['*.csv'], onProgress: (event) => events.push(event),
  });
  assert.equal(result.excluded, 1);
  assert.equal(result.entries, Object.keys(TREE).length - 1);
  assert.equal(result.bytesRead, events.at(-1).bytesRead);
  assert.equal(result.archiveSize, fs.statSync(path.join(dir, 'a.zip')).size);
  const added = events.filter((e) => e.kind === 'added').map((e) => e.name).sort();
  assert.deepEqual(added, names(path.join(dir, 'a.zip')).sort());
  assert.ok(events.some((e) => e.kind === 'progress'));
  assert.equal(events.at(-1).kind, 'finished');
  assert.equal(events.at(-1).size, result.archiveSize);
  assert.deepEqual(result.leftOut.map((f) => [f.path, f.code]), [[fifo, 'not-a-file']]);
  assert.deepEqual(events.filter((e) => e.kind === 'left-out').map((e) => [e.name, e.reason]),
    [[fifo, 'not-a-file']]);
});

// Files that take the compressor a while: enough to stop a pack midway.
function bigTree(root) {
  const line = Buffer.from(Array.from({ length: 8192 }, (_, i) => `line ${i} of a file\n`).join(''));
  return makeTree(root, Object.fromEntries(Array.from({ length: 60 }, (_, i) => [`f${i}.txt`, line])));
}

test('an exception in onProgress stops the pack and comes out as itself', async (t) => {
  const dir = tempDir(t);
  const src = bigTree(path.join(dir, 'src'));
  const mine = new Error('mine');
  await assert.rejects(zipfolder.pack(src, path.join(dir, 'a.zip'), {
    level: 9, onProgress: (event) => { if (event.kind === 'added') throw mine; },
  }), (error) => error === mine);
  assert.deepEqual(fs.readdirSync(dir), ['src']);
});

test('abort mid-pack leaves no archive, and an existing one untouched', async (t) => {
  const dir = tempDir(t);
  const big = bigTree(path.join(dir, 'big'));
  for (const threads of [1, 2]) {
    const dst = path.join(dir, 'a.zip');
    fs.writeFileSync(dst, 'old');
    const controller = new AbortController();
    let added = 0;
    const why = new Error('enough');
    await assert.rejects(zipfolder.pack(big, dst, {
      threads, level: 9, signal: controller.signal,
      onProgress: (event) => { if (event.kind === 'added' && ++added === 3) controller.abort(why); },
    }), (error) => error.name === 'AbortError' && error.code === 'ZIPFOLDER_CANCELLED'
      && error.cause === why);
    assert.equal(fs.readFileSync(dst, 'utf8'), 'old');
    assert.deepEqual(fs.readdirSync(dir).sort(), ['a.zip', 'big']);
  }
  const aborted = AbortSignal.abort();
  await assert.rejects(zipfolder.pack(big, path.join(dir, 'b.zip'), { signal: aborted }),
    { name: 'AbortError', code: 'ZIPFOLDER_CANCELLED' });
  assert.deepEqual(fs.readdirSync(dir).sort(), ['a.zip', 'big']);
});

// Runs a pack in a child Node under the given wrapper command, and returns
// what it printed: the error's code and errno, or "ok".
function childPack(wrapper, src, dst) {
  const script = `require(${JSON.stringify(path.join(__dirname, '..'))})
    .pack(process.argv[1], process.argv[2], { threads: 2 })
    .then(() => console.log('ok'), (e) => console.log(e.code, e.errno))`;
  const child = spawnSync(wrapper[0], [...wrapper.slice(1), process.execPath, '-e', script,
    src, dst], { encoding: 'utf8' });
  return child.stdout.trim() || child.stderr;
}

test('each failure status rejects with its code and the system\'s error', async (t) => {
  const dir = tempDir(t);
  const src = makeTree(path.join(dir, 'src'));
  const old = path.join(dir, 'old.zip');
  fs.writeFileSync(old, 'old');
  const cases = [  // (src, dst, options, code, path, errno)
    [path.join(dir, 'missing'), old, {}, 'ZIPFOLDER_NO_SOURCE', path.join(dir, 'missing'), 2],
    [path.join(src, 'README.txt'), old, {}, 'ZIPFOLDER_NO_SOURCE', path.join(src, 'README.txt'),
      20],
    [src, path.join(dir, 'no', 'a.zip'), {}, 'ZIPFOLDER_CANNOT_CREATE',
      path.join(dir, 'no', 'a.zip'), 2],
    ['', old, {}, 'ZIPFOLDER_BAD_ARGUMENT', null, 0],
    [src, old, { prefix: '../up' }, 'ZIPFOLDER_BAD_ARGUMENT', null, 0],
    [src, '/dev/full', {}, 'ZIPFOLDER_DISK_FULL', '/dev/full', 28],
  ];
  for (const [from, to, options, code, where, errno] of cases) {
    await assert.rejects(zipfolder.pack(from, to, options), (error) => {
      assert.ok(error instanceof zipfolder.ZipFolderError && error instanceof Error);
      assert.deepEqual([error.code, error.path, error.errno], [code, where, errno]);
      assert.equal(error.status, zipfolder.STATUS[code.slice('ZIPFOLDER_'.length)]);
      return true;
    });
  }
  assert.equal(fs.readFileSync(old, 'utf8'), 'old');
  assert.deepEqual(fs.readdirSync(dir).sort(), ['old.zip', 'src']);

  // A file size limit fails the write; a cap on the address space leaves
  // no memory for the archive's writer.
  const random = makeTree(path.join(dir, 'random'), { 'r.bin': require('node:crypto').randomBytes(MIB) });
  assert.equal(childPack(['prlimit', '--fsize=65536'], random, path.join(dir, 'w.zip')),
    'ZIPFOLDER_WRITE_FAILED 27');
  assert.deepEqual(fs.readdirSync(dir).sort(), ['old.zip', 'random', 'src']);

  // Capped just above what Node holds, the process has memory for the pack
  // thread's stack, or also for the archive's writer, or for all: each child
  // either packs or fails with ZIPFOLDER_NO_MEMORY (or finds no memory to
  // list the source), and some fail.
  const outcomes = new Set();
  const capped = (margin) => {
    // Loaded before the measure: the addon maps the system's libcrypto.
    const script = `const fs = require('node:fs');
      const zipfolder = require(${JSON.stringify(path.join(__dirname, '..'))});
      const size = Number(/VmSize:\\s+(\\d+)/.exec(fs.readFileSync('/proc/self/status', 'utf8'))[1]);
      require('node:child_process').execFileSync('prlimit',
        ['--pid', String(process.pid), '--as=' + (size * 1024 + ${margin})]);
      zipfolder.pack(process.argv[1], process.argv[2])
        .then(() => console.log('ok'), (e) => console.log(e.code, e.systemCode))`;
    const child = spawnSync(process.execPath, ['-e', script, src, path.join(dir, 'm.zip')],
      { encoding: 'utf8' });
    fs.rmSync(path.join(dir, 'm.zip'), { force: true });
    const outcome = child.stdout.trim() || child.stderr;
    outcomes.add(outcome);
    return outcome;
  };
  const noThread = (margin) => capped(margin) === 'ZIPFOLDER_NO_MEMORY EAGAIN';
  let low = null;  // the last margin with no pack thread below the first with one (high)
  let high = null;
  for (let margin = 8 * MIB; margin <= 12 * MIB; margin += MIB / 4) {
    if (noThread(margin)) low = high === null ? margin : low;
    else high ??= margin;
  }
  // Just above the least margin that starts the pack thread, the thread has
  // its stack and a page or two more: there even the end's message must be
  // posted without allocating, or the process terminates.
  const PAGE = 4096;
  if (low !== null && high !== null) {
    while (high - low > PAGE) {
      const middle = low + Math.floor((high - low) / 2 / PAGE) * PAGE;
      if (noThread(middle)) low = middle; else high = middle;
    }
    for (let margin = high; margin < high + 8 * PAGE; margin += PAGE) capped(margin);
  }
  t.diagnostic(`under a cap on memory: ${[...outcomes].sort().join('; ')}`);
  assert.ok(outcomes.has('ok'), [...outcomes].join());
  assert.ok([...outcomes].some((o) => o.startsWith('ZIPFOLDER_NO_MEMORY')), [...outcomes].join());
  for (const outcome of outcomes) {
    assert.ok(['ok', 'ZIPFOLDER_NO_MEMORY null', 'ZIPFOLDER_NO_MEMORY EAGAIN',
      'ZIPFOLDER_NO_SOURCE ENOMEM'].includes(outcome), outcome);
  }

  for (const [options, message] of [[{ threads: 0 }, /threads/], [{ level: 10 }, /level/],
    [{ folders: 'some' }, /folders/], [{ exclude: '*.o' }, /patterns/],
    [{ mtimeCeiling: 'now' }, /mtimeCeiling/], [{ sort: 1 }, /sort/],
    [{ encryption: 'aes128' }, /needs a password/], [{ password: '' }, /password/],
    [{ password: 'x', encryption: 'des' }, /encryption/]]) {
    await assert.rejects(zipfolder.pack(src, old, options), { code: 'ERR_INVALID_ARG_VALUE', message });
  }
  await assert.rejects(zipfolder.pack(`${src}\0`, old), { code: 'ERR_INVALID_ARG_VALUE' });
});

test('a password encrypts every file, to a file and as a stream', async (t) => {
  const dir = tempDir(t);
  const src = makeTree(path.join(dir, 'src'));
  const zip = path.join(dir, 'zc.zip');
  await zipfolder.pack(src, zip, { password: 'p\u00e4ss', encryption: 'zipcrypto', threads: 2 });
  const read = spawnSync('python3', ['-c', `import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print(all(i.flag_bits & 1 and z.read(i, pwd=sys.argv[2].encode()) == open(sys.argv[3] + "/" + i.filename, "rb").read() for i in z.infolist()))`,
  zip, 'p\u00e4ss', src], { encoding: 'utf8' });
  assert.equal(read.stdout, 'True\n', read.stderr);
  const chunks = [];
  for await (const chunk of zipfolder.packStream(src, { password: Buffer.from('pw') })) chunks.push(chunk);
  const aes = path.join(dir, 'aes.zip');
  fs.writeFileSync(aes, Buffer.concat(chunks));
  for (const [password, status] of [['pw', 0], ['wrong', 2]]) {
    const tested = spawnSync('7z', ['t', `-p${password}`, aes]);
    if (tested.error) return t.skip('7z is not installed');
    assert.equal(tested.status, status, password);
  }
});
