'use strict';
// zipfolder for Node.js: pack() and packStream() over the addon's start().
// The pack runs on a thread of its own and its workers; this file checks
// the arguments, turns the addon's messages into events, results and
// errors, and makes a Readable of a streamed archive.

const os = require('node:os');
const path = require('node:path');
const { Readable } = require('node:stream');
const { fileURLToPath } = require('node:url');

const native = require(path.join(__dirname, 'build', 'Release', 'zipfolder.node'));

const STATUS = {
  DONE: 0,
  DONE_LEFT_OUT: 1,
  BAD_ARGUMENT: 2,
  NO_SOURCE: 3,
  CANNOT_CREATE: 4,
  WRITE_FAILED: 5,
  DISK_FULL: 6,
  CANCELLED: 7,
  NO_MEMORY: 8,
  NOT_SUPPORTED: 10,
};
const FAILURES = {
  [STATUS.BAD_ARGUMENT]: ['ZIPFOLDER_BAD_ARGUMENT', 'bad argument'],
  [STATUS.NO_SOURCE]: ['ZIPFOLDER_NO_SOURCE', 'cannot read the folder'],
  [STATUS.CANNOT_CREATE]: ['ZIPFOLDER_CANNOT_CREATE', 'cannot create the archive'],
  [STATUS.WRITE_FAILED]: ['ZIPFOLDER_WRITE_FAILED', 'writing the archive failed'],
  [STATUS.DISK_FULL]: ['ZIPFOLDER_DISK_FULL', 'the disk is full'],
  [STATUS.CANCELLED]: ['ZIPFOLDER_CANCELLED', 'the pack was cancelled'],
  [STATUS.NO_MEMORY]: ['ZIPFOLDER_NO_MEMORY', 'out of memory'],
  [STATUS.NOT_SUPPORTED]: ['ZIPFOLDER_NOT_SUPPORTED',
    'encryption is not supported in this build'],
};
const KINDS = [undefined, 'progress', 'added', 'left-out', 'failed', 'finished'];
const REASONS = [undefined, 'cannot-open', 'read-failed', 'not-a-file', 'changed',
  'folder-unlisted', 'path-too-long', 'name-unusable', 'no-memory', 'encryption-failed'];
const FOLDERS = { none: 0, empty: 1, all: 2 };
const ENCRYPTIONS = { aes256: 0, aes128: 1, zipcrypto: 2 };
const FLAG = {
  GITIGNORE: 1, SYMLINKS: 2, SORT: 4, MTIME_CEILING: 8,
  UNIX_MODES: 16, STORE_INCOMPRESSIBLE: 32, STORE_TYPES: 64,
};
const LEVEL_STORE = -1;
// A streamed archive crosses to JavaScript in chunks of this size, and at
// most WINDOW bytes of it are between the library and the reader.
const CHUNK_SIZE = 64 * 1024;
const WINDOW = 4 * CHUNK_SIZE;
// The pack's threads run this many nice steps below the JavaScript thread,
// which then gets a processor first when its timers or I/O are due.
const NICE_STEPS = 5;

// errno numbers by their first name (EAGAIN, not EWOULDBLOCK).
const ERRNO_NAMES = Object.fromEntries(
  Object.entries(os.constants.errno).reverse().map(([name, number]) => [number, name]));

/** A failed pack: `code` names the status; nothing was created or replaced. */
class ZipFolderError extends Error {
  constructor(status, filePath, reason, systemError, options) {
    const [code, what] = FAILURES[status] || ['ZIPFOLDER_FAILED', 'packing failed'];
    let message = what;
    if (filePath) message += ` '${filePath}'`;
    if (reason) message += `: ${reason}`;
    super(message, options);
    this.name = 'ZipFolderError';
    this.code = code;
    this.status = status;
    this.path = filePath ?? null;
    this.reason = reason || '';
    this.errno = systemError || 0;
    this.systemCode = ERRNO_NAMES[systemError] ?? null;
  }
}

function badArgument(ErrorClass, message) {
  const error = new ErrorClass(message);
  error.code = 'ERR_INVALID_ARG_VALUE';
  return error;
}

function processorCount() {
  return typeof os.availableParallelism === 'function' ? os.availableParallelism()
    : Math.max(os.cpus().length, 1);
}

// A path or pattern as the bytes the library takes.
function bytes(value, what) {
  if (value instanceof URL) value = fileURLToPath(value);
  let encoded;
  if (typeof value === 'string') encoded = Buffer.from(value, 'utf8');
  else if (Buffer.isBuffer(value)) encoded = value;
  else throw badArgument(TypeError, `${what} must be a string, a Buffer or a file URL`);
  if (encoded.includes(0)) throw badArgument(TypeError, `${what} holds a zero byte`);
  return encoded;
}

function patterns(list, what) {
  if (list === undefined || list === null) return [];
  if (typeof list === 'string' || typeof list[Symbol.iterator] !== 'function') {
    throw badArgument(TypeError, `${what} takes an array of patterns, not one string`);
  }
  return Array.from(list, (p) => bytes(p, what));
}

function flag(value, name, byDefault = false) {
  if (value === undefined) return byDefault;
  if (typeof value !== 'boolean') throw badArgument(TypeError, `${name} must be true or false`);
  return value;
}

function seconds(moment) {
  if (moment instanceof Date) moment = moment.getTime() / 1000;
  if (typeof moment === 'bigint') moment = Number(moment);
  if (typeof moment !== 'number' || !Number.isFinite(moment)) {
    throw badArgument(TypeError, 'mtimeCeiling takes seconds since 1970 or a Date');
  }
  return Math.floor(moment);
}

// The addon's options record from the caller's options.
function nativeOptions(options, stream) {
  if (options === null || typeof options !== 'object') {
    throw badArgument(TypeError, 'options must be an object');
  }
  const threads = options.threads ?? processorCount();
  if (!Number.isInteger(threads) || threads < 1 || threads > 256) {
    throw badArgument(RangeError, 'threads must be a whole number from 1 to 256');
  }
  const level = options.level ?? 8;
  if (!Number.isInteger(level) || level < 0 || level > 9) {
    throw badArgument(RangeError, 'level must be a whole number from 0 to 9');
  }
  const folders = options.folders ?? 'none';
  if (!Object.hasOwn(FOLDERS, folders)) {
    throw badArgument(RangeError, "folders must be 'none', 'empty' or 'all'");
  }
  if (options.onProgress !== undefined && typeof options.onProgress !== 'function') {
    throw badArgument(TypeError, 'onProgress must be a function');
  }
  if (options.signal !== undefined && !(options.signal instanceof AbortSignal)) {
    throw badArgument(TypeError, 'signal must be an AbortSignal');
  }
  const prefix = options.prefix ?? '';
  if (typeof prefix !== 'string') throw badArgument(TypeError, 'prefix must be a string');
  const ceiling = options.mtimeCeiling ?? null;
  const flags = (flag(options.gitignore, 'gitignore') ? FLAG.GITIGNORE : 0)
    | (flag(options.symlinks, 'symlinks') ? FLAG.SYMLINKS : 0)
    | (flag(options.sort, 'sort') ? FLAG.SORT : 0)
    | (ceiling !== null ? FLAG.MTIME_CEILING : 0)
    | (flag(options.unixModes, 'unixModes', true) ? FLAG.UNIX_MODES : 0)
    | (flag(options.storeIncompressible, 'storeIncompressible', true)
      ? FLAG.STORE_INCOMPRESSIBLE : 0)
    | FLAG.STORE_TYPES;
  const storedTypes = options.storedTypes ?? null;
  if (storedTypes !== null && (typeof storedTypes === 'string'
      || typeof storedTypes[Symbol.iterator] !== 'function')) {
    throw badArgument(TypeError, 'storedTypes takes an array of extensions, not one string');
  }
  const encryption = options.encryption ?? null;
  if (encryption !== null && !Object.hasOwn(ENCRYPTIONS, encryption)) {
    throw badArgument(RangeError, "encryption must be 'aes256', 'aes128' or 'zipcrypto'");
  }
  const password = options.password ?? null;
  if (password === null && encryption !== null) {
    throw badArgument(TypeError, 'encryption needs a password');
  }
  if (password !== null && (typeof password !== 'string' && !Buffer.isBuffer(password))) {
    throw badArgument(TypeError, 'password must be a string or a Buffer');
  }
  // A copy of the caller's, wiped once the addon has its own.
  const secret = password === null ? null : Buffer.from(bytes(password, 'password'));
  if (secret !== null && secret.length === 0) {
    throw badArgument(RangeError, 'password must not be empty');
  }
  return {
    threads,
    level: level === 0 ? LEVEL_STORE : level,
    password: secret,
    encryption: ENCRYPTIONS[encryption ?? 'aes256'],
    flags,
    folders: FOLDERS[folders],
    exclude: patterns(options.exclude, 'exclude'),
    include: patterns(options.include, 'include'),
    prefix: prefix === '' ? null : bytes(prefix, 'prefix'),
    mtimeCeiling: ceiling !== null ? seconds(ceiling) : 0,
    storedTypes: storedTypes === null ? null : bytes(Array.from(storedTypes).join(','), 'storedTypes'),
    progress: options.onProgress !== undefined,
    stream,
    chunkSize: CHUNK_SIZE,
    window: WINDOW,
    niceSteps: NICE_STEPS,
  };
}

function eventOf(raw) {
  return {
    kind: KINDS[raw.kind] ?? raw.kind,
    name: raw.name,
    bytesRead: raw.bytesRead,
    entries: raw.entries,
    leftOut: raw.leftOut,
    excluded: raw.excluded,
    size: raw.size,
    compressedSize: raw.compressedSize,
    method: raw.method,
    reason: raw.kind === 3 ? (REASONS[raw.reason] ?? raw.reason) : null,
    reasonText: raw.reasonText,
    systemError: raw.systemError,
  };
}

function resultOf(done) {
  return {
    entries: done.entries,
    bytesRead: done.bytesRead,
    archiveSize: done.archiveSize,
    excluded: done.excluded,
    leftOut: done.leftOut.map((file) => ({
      path: file.path,
      reason: file.reason,
      systemError: file.systemError,
      code: REASONS[file.code] ?? file.code,
    })),
  };
}

function abortError(signal) {
  const error = new ZipFolderError(STATUS.CANCELLED, null, 'aborted', 0, { cause: signal.reason });
  error.name = 'AbortError';
  return error;
}

// The error of a failed pack, or null for a good one.
function errorOf(done, src, dst, signal, thrown) {
  if (thrown !== undefined) return thrown;
  if (done.status === STATUS.DONE || done.status === STATUS.DONE_LEFT_OUT) return null;
  if (done.status === STATUS.CANCELLED && signal?.aborted) return abortError(signal);
  let failedPath = done.failedName ?? null;
  if (failedPath === null && done.status === STATUS.NO_SOURCE) failedPath = src;
  else if (failedPath === null && done.status !== STATUS.BAD_ARGUMENT) failedPath = dst;
  return new ZipFolderError(done.status, failedPath, done.failedText, done.failedError);
}

// Starts one pack. handlers: onData(buffer) for a stream, onDone(result,
// error). Returns cancel() and consumed(bytes), which do nothing once done.
function start(src, dst, options, stream, handlers) {
  const srcBytes = bytes(src, 'src');
  const dstBytes = dst === null ? null : bytes(dst, 'dst');
  const record = nativeOptions(options, stream);
  const { onProgress, signal } = options;
  let finished = false;
  let thrown;
  let handle = null;
  const cancel = () => {
    if (!finished && handle !== null) native.cancel(handle);
  };
  const onAbort = () => cancel();
  let started;
  try {
    started = native.start(srcBytes, dstBytes, record, onMessage);
  } catch (error) {
    record.password?.fill(0);
    if (!/bad_alloc/.test(error.message)) throw error;
    started = null;
  }
  record.password?.fill(0);
  if (started === null) {
    throw new ZipFolderError(STATUS.NO_MEMORY, null, 'cannot start the pack',
      os.constants.errno.EAGAIN);
  }
  handle = started;
  signal?.addEventListener('abort', onAbort, { once: true });
  return {
    cancel,
    consumed(length) {
      if (!finished) native.consumed(handle, length);
    },
  };

  function onMessage(type, value) {
    if (type === 'data') {
      handlers.onData(value);
    } else if (type === 'event') {
      if (thrown !== undefined) return;
      try {
        onProgress(eventOf(value));
      } catch (error) {
        // Raised again, as itself, once the pack has stopped.
        thrown = error;
        cancel();
      }
    } else {
      finished = true;
      signal?.removeEventListener('abort', onAbort);
      const error = errorOf(value, srcBytes.toString(), dstBytes?.toString() ?? null, signal,
        thrown);
      handlers.onDone(error === null ? resultOf(value) : null, error);
    }
  }
}

/**
 * Packs every file below the folder src into the new ZIP archive dst, off
 * the main thread. Resolves to a Result; rejects with a ZipFolderError
 * (and leaves no archive, an existing one untouched) when the pack fails or
 * is aborted.
 */
function pack(src, dst, options = {}) {
  return new Promise((resolve, reject) => {
    if (options?.signal?.aborted) {
      reject(abortError(options.signal));
      return;
    }
    start(src, dst, options, false, {
      onDone: (result, error) => (error === null ? resolve(result) : reject(error)),
    });
  });
}

/** The archive's bytes, as they are made, at the pace the reader reads them. */
class ZipStream extends Readable {
  constructor(src, options) {
    super({ highWaterMark: options.highWaterMark ?? CHUNK_SIZE });
    this.result = null;
    this.owed = 0;  // bytes pushed that the native side may not send again yet
    this.whenStopped = null;  // _destroy's callback, waiting for the pack to stop
    this.job = start(src, null, options, true, {
      onData: (chunk) => {
        if (this.destroyed) return;
        this.owed += chunk.length;
        if (this.push(chunk)) this.release();
      },
      onDone: (result, error) => {
        this.job = null;
        if (this.whenStopped !== null) {
          this.whenStopped();
        } else if (error !== null) {
          this.destroy(error);
        } else {
          this.result = result;
          this.emit('result', result);
          this.push(null);
        }
      },
    });
  }

  release() {
    if (this.owed > 0 && this.job !== null) this.job.consumed(this.owed);
    this.owed = 0;
  }

  _read() {
    this.release();
  }

  _destroy(error, callback) {
    if (this.job === null) {
      callback(error);
      return;
    }
    // 'close' comes once the pack has stopped and removed what it had.
    this.whenStopped = () => callback(error);
    this.job.cancel();
  }
}

/**
 * The ZIP archive of the folder src as a Readable stream (for an HTTP
 * response or an upload). Destroying the stream cancels the pack; the
 * stream emits 'result' with the Result before it ends.
 */
function packStream(src, options = {}) {
  if (options?.signal?.aborted) {
    const stream = new Readable({ read() {} });
    stream.destroy(abortError(options.signal));
    return stream;
  }
  const stream = new ZipStream(src, options);
  options.signal?.addEventListener('abort', () => stream.destroy(abortError(options.signal)),
    { once: true });
  return stream;
}

module.exports = { pack, packStream, ZipFolderError, processorCount, STATUS };
