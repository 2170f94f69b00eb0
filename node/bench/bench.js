'use strict';
// Packs one folder (default /usr/include) with zipfolder, with the most-used
// npm package for zipping a folder (archiver, at its default level) and with
// Node's own zlib (each file deflated on libuv's pool, no archive around
// them), in the same run: wall time, processor time, the peak memory of the
// process and the archive's size, the medians of a few runs, each in a fresh
// child process.
//
//   node bench/bench.js [FOLDER] [--runs=N] [--check]
//
// archiver is installed into bench/node_modules on the first run (npm).
// --check exits with 1 unless pack at the default threads takes at most a
// fifth of archiver's time, makes no larger archive and peaks at no more
// than half its memory.

const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const CONTENDERS = {
  'zipfolder pack, default threads': (src, out) => packWith(src, out, {}),
  'zipfolder pack, 1 thread': (src, out) => packWith(src, out, { threads: 1 }),
  'zipfolder packStream to a file': (src, out) => streamTo(src, out),
  'archiver, default level': (src, out) => archiverTo(src, out),
  'node zlib, each file (no archive)': (src) => zlibEach(src),
};

async function packWith(src, out, options) {
  const result = await require('..').pack(src, out, options);
  return { size: result.archiveSize, entries: result.entries };
}

async function streamTo(src, out) {
  const { pipeline } = require('node:stream/promises');
  const stream = require('..').packStream(src);
  await pipeline(stream, fs.createWriteStream(out));
  return { size: fs.statSync(out).size, entries: stream.result.entries };
}

async function archiverTo(src, out) {
  const { ZipArchive } = await import('archiver');
  const { pipeline } = require('node:stream/promises');
  const archive = new ZipArchive();
  let entries = 0;
  archive.on('entry', () => entries++);
  archive.on('warning', (error) => { throw error; });
  archive.directory(src, false);
  const done = pipeline(archive, fs.createWriteStream(out));
  await archive.finalize();
  await done;
  return { size: fs.statSync(out).size, entries };
}

// Every regular file below src deflated at zlib's default level, four at
// once (libuv's pool): the compression an archive would hold, without one.
async function zlibEach(src) {
  const zlib = require('node:zlib');
  const { promisify } = require('node:util');
  const deflate = promisify(zlib.deflateRaw);
  const files = [];
  (function walk(folder) {
    for (const name of fs.readdirSync(folder)) {
      const full = path.join(folder, name);
      const facts = fs.statSync(full, { throwIfNoEntry: false });  // links followed, as zipfolder does
      if (facts?.isDirectory()) walk(full);
      else if (facts?.isFile()) files.push(full);
    }
  })(src);
  let size = 0;
  let next = 0;
  async function worker() {
    while (next < files.length) {
      const data = await fs.promises.readFile(files[next++]);
      const deflated = await deflate(data);
      size += deflated.length;
    }
  }
  await Promise.all([worker(), worker(), worker(), worker()]);
  return { size, entries: files.length };
}

// In the child: one contender, once; prints its figures as JSON.
async function runOne(name, src, out) {
  const started = process.hrtime.bigint();
  const { size, entries } = await CONTENDERS[name](src, out);
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  const { user, system } = process.cpuUsage();
  const cpu = (user + system) / 1e6;
  if (fs.existsSync(out)) execFileSync('unzip', ['-tqq', out]);
  const peak = process.resourceUsage().maxRSS * 1024;
  process.stdout.write(JSON.stringify({ seconds, cpu, peak, size, entries }));
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

function ensureArchiver() {
  try {
    require.resolve('archiver', { paths: [__dirname] });
  } catch {
    console.error('bench: installing archiver into bench/node_modules');
    execFileSync('npm', ['install', '--no-audit', '--no-fund', '--silent'],
      { cwd: __dirname, stdio: 'inherit' });
  }
}

function main() {
  const args = process.argv.slice(2);
  const runs = Number((args.find((a) => a.startsWith('--runs=')) ?? '--runs=3').slice(7));
  const check = args.includes('--check');
  const src = args.find((a) => !a.startsWith('--')) ?? '/usr/include';
  ensureArchiver();
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'zipfolder-bench-'));
  const baseline = spawnSync(process.execPath, ['-e', 'process.stdout.write(String('
    + 'process.resourceUsage().maxRSS * 1024))'], { encoding: 'utf8' });
  const rows = {};
  try {
    for (let run = 0; run < runs; run++) {
      for (const name of Object.keys(CONTENDERS)) {
        const out = path.join(tmp, 'out.zip');
        const child = spawnSync(process.execPath, [__filename, '--one', name, src, out],
          { encoding: 'utf8', maxBuffer: 1 << 20 });
        if (child.status !== 0) throw new Error(`${name}: ${child.stderr}`);
        fs.rmSync(out, { force: true });
        (rows[name] ??= []).push(JSON.parse(child.stdout));
      }
    }
  } finally {
    fs.rmSync(tmp, { recursive: true, force: true });
  }

  const mib = (bytes) => (bytes / (1 << 20)).toFixed(1);
  console.log(`${src}, ${os.availableParallelism?.() ?? os.cpus().length} processors, `
    + `load ${os.loadavg()[0].toFixed(1)}, Node ${process.version}, median of ${runs} runs; `
    + `a bare Node process peaks at ${mib(Number(baseline.stdout))} MiB`);
  console.log('| contender | wall s | CPU s | peak MiB | archive MiB | entries |');
  console.log('| --- | ---: | ---: | ---: | ---: | ---: |');
  const figures = {};
  for (const [name, results] of Object.entries(rows)) {
    const f = {
      seconds: median(results.map((r) => r.seconds)),
      cpu: median(results.map((r) => r.cpu)),
      peak: Math.max(...results.map((r) => r.peak)),
      size: results[0].size,
      entries: results[0].entries,
    };
    figures[name] = f;
    console.log(`| ${name} | ${f.seconds.toFixed(2)} | ${f.cpu.toFixed(2)} | ${mib(f.peak)} | `
      + `${mib(f.size)} | `
      + `${f.entries} |`);
  }
  const ours = figures['zipfolder pack, default threads'];
  const peer = figures['archiver, default level'];
  const ratios = {
    time: peer.seconds / ours.seconds,
    size: ours.size / peer.size,
    memory: ours.peak / peer.peak,
  };
  console.log(`pack at default threads: ${ratios.time.toFixed(1)}x archiver's speed, `
    + `${(ratios.size * 100).toFixed(1)}% of its archive size, `
    + `${(ratios.memory * 100).toFixed(1)}% of its peak memory`);
  if (check && !(ratios.time >= 5 && ratios.size <= 1 && ratios.memory <= 0.5)) {
    console.log('bench: pack misses a goal (5x the speed, no larger, half the memory)');
    process.exitCode = 1;
  }
}

if (process.argv[2] === '--one') {
  runOne(process.argv[3], process.argv[4], process.argv[5]).catch((error) => {
    console.error(error);
    process.exit(1);
  });
} else {
  main();
}
