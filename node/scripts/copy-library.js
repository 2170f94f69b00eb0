'use strict';
// npm's prepare step: copies the library's sources from the repository
// around this folder into library/, so that the package npm packs (npm pack,
// npm install --install-links) builds where the repository is not beside it.
// Outside the repository there is nothing to copy, and nothing is done.

const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const into = path.join(__dirname, '..', 'library');
const PARTS = ['CMakeLists.txt', 'cmake', 'src', 'include', 'tools', 'docs/zipfolder.1', 'LICENSE'];

if (fs.existsSync(path.join(root, 'include', 'zipfolder.h'))) {
  fs.rmSync(into, { recursive: true, force: true });
  for (const part of PARTS) {
    fs.cpSync(path.join(root, part), path.join(into, part), { recursive: true });
  }
}
