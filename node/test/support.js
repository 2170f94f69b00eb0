'use strict';
// What the package's tests share: the trees they pack, the C tool of the
// same sources, and readers we did not write to check the archives.

const { execFileSync, spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const MIB = 1 << 20;

// A small tree: text that deflates, bytes that are stored, a non-ASCII
// name, an empty file, an empty folder, a .gitignore and a .git folder.
const TREE = {
  'README.txt': Buffer.from('read me first\n'.repeat(40)),
  'data/table.csv': Buffer.from(Array.from({ length: 2000 }, (_, i) => `${i},${i * i},${i * 7}\n`).join('')),
  'data/already.gz': crypto.randomBytes(3000),
  'docs/guide.md': Buffer.from('# Guide\n' + 'Some words, repeated. '.repeat(300)),
  'docs/notes/todo.txt': Buffer.alloc(0),
  'docs/\u00e9t\u00e9.txt': Buffer.from('summer\n'),
  '.gitignore': Buffer.from('*.csv\nnotes/\n'),
  '.git/HEAD': Buffer.from('ref\n'),
};

function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zipfolder-node-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

function makeTree(root, files = TREE) {
  for (const [name, data] of Object.entries(files)) {
    fs.mkdirSync(path.dirname(path.join(root, name)), { recursive: true });
    fs.writeFileSync(path.join(root, name), data);
  }
  fs.mkdirSync(path.join(root, 'empty'), { recursive: true });
  return root;
}

// The C tool built beside the addon (npm install), or the one named.
const TOOL = process.env.ZIPFOLDER_TOOL
  || path.join(__dirname, '..', 'build', 'zipfolder', 'zipfolder');

// The tool's archive of src with these arguments; '-' gives the streamed form.
function toolArchive(args, src, dst) {
  const env = { ...process.env };
  delete env.SOURCE_DATE_EPOCH;
  if (dst === '-') {
    return execFileSync(TOOL, ['-q', ...args, src, '-'], { env, maxBuffer: 1 << 30 });
  }
  execFileSync(TOOL, ['-q', ...args, src, dst], { env });
  return fs.readFileSync(dst);
}

// The reader that reads forward only, as from a pipe (Java's ZipInputStream).
const STREAM_CHECK = path.join(__dirname, '..', '..', 'tests', 'support', 'ZipStreamCheck.java');

// unzip -t and 7z t find the archive intact, and with forwardOnly Java's
// forward-only reader reads every entry from standard input; 7z and Java are
// left out where missing.
function checkArchive(assert, file, { forwardOnly = false } = {}) {
  const unzip = spawnSync('unzip', ['-tqq', file], { encoding: 'utf8' });
  assert.equal(unzip.status, 0, `unzip -t ${file}: ${unzip.stdout}${unzip.stderr}`);
  const seven = spawnSync('7z', ['t', '-bd', file], { encoding: 'utf8' });
  if (seven.error?.code !== 'ENOENT') {
    assert.equal(seven.status, 0, `7z t ${file}: ${seven.stdout}${seven.stderr}`);
  }
  if (!forwardOnly || !fs.existsSync(STREAM_CHECK)) return;
  const java = spawnSync('java', [STREAM_CHECK], { input: fs.readFileSync(file), encoding: 'utf8' });
  if (java.error?.code === 'ENOENT') return;
  assert.equal(java.status, 0, `java ZipStreamCheck ${file}: ${java.stdout}${java.stderr}`);
  const read = java.stdout.split('\n').filter(Boolean).map((line) => line.split('\t')[0]);
  assert.deepEqual(read, names(file), `java ZipStreamCheck ${file}`);
}

// The names in the archive, as unzip lists them.
function names(file) {
  return execFileSync('unzip', ['-Z1', file], { encoding: 'utf8' }).split('\n').filter(Boolean);
}

module.exports = { MIB, TREE, TOOL, tempDir, makeTree, toolArchive, checkArchive, names };
