'use strict';
// index.d.ts against a caller's code, with TypeScript's strictest checks.

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');
const assert = require('node:assert/strict');

const tsc = path.join(__dirname, '..', 'node_modules', 'typescript', 'bin', 'tsc');

test('the types describe the API', { skip: !fs.existsSync(tsc) && 'typescript is not installed' },
  () => {
    const check = spawnSync(process.execPath, [tsc, '-p', path.join(__dirname, 'tsconfig.json')],
      { encoding: 'utf8' });
    assert.equal(check.status, 0, check.stdout + check.stderr);
  });
