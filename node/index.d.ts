/// <reference types="node" />
import { Readable } from 'node:stream';

/** A path: a string (UTF-8), a Buffer of the name's bytes, or a file: URL. */
export type PathLike = string | Buffer | URL;

export type EventKind = 'progress' | 'added' | 'left-out' | 'failed' | 'finished';

/** Why a file or folder was left out although no pattern excluded it. */
export type LeftOutReason =
  | 'cannot-open'
  | 'read-failed'
  | 'not-a-file'
  | 'changed'
  | 'folder-unlisted'
  | 'path-too-long'
  | 'name-unusable'
  | 'no-memory'
  | 'encryption-failed';

/** What onProgress is given. The counters are the totals so far. */
export interface ProgressEvent {
  kind: EventKind;
  /**
   * progress: the file being read, relative to the source; added: its name
   * in the archive; left-out: its full path; failed: the source or the
   * archive, whichever failed; finished: the archive's path (null for a
   * stream).
   */
  name: string | null;
  bytesRead: number;
  entries: number;
  leftOut: number;
  excluded: number;
  /** added: the file's size; finished: the archive's. */
  size: number;
  /** added: its size in the archive. */
  compressedSize: number;
  /** added: 0 stored, 8 deflated. */
  method: number;
  /** left-out: why. */
  reason: LeftOutReason | null;
  /** left-out, failed: readable, lower case, e.g. "permission denied". */
  reasonText: string;
  /** left-out, failed: errno; 0 when none. */
  systemError: number;
}

export interface LeftOutFile {
  path: string;
  reason: string;
  systemError: number;
  code: LeftOutReason;
}

export interface Result {
  /** Entries in the archive. */
  entries: number;
  /** Bytes read from the files. */
  bytesRead: number;
  /** The archive's size in bytes. */
  archiveSize: number;
  /** Files and folders that the patterns or .gitignore left out. */
  excluded: number;
  /** Files that are not in the archive although nothing excluded them. */
  leftOut: LeftOutFile[];
}

export interface PackOptions {
  /** Files compressed at once; default: the processors this process may run on. 1 to 256. */
  threads?: number;
  /** 1 (fastest) to 9 (smallest), 0 stores every file; default 8. */
  level?: number;
  /** Patterns in .gitignore syntax matched against names below src; an excluded folder is not walked. */
  exclude?: Iterable<string | Buffer>;
  /** With any pattern here, only the files that match one are packed. */
  include?: Iterable<string | Buffer>;
  /** Leave out what git would not track, and .git. */
  gitignore?: boolean;
  /** Put before every name in the archive ("/" between its levels). */
  prefix?: string;
  /** Entries for folders: none (default), empty ones, or all. */
  folders?: 'none' | 'empty' | 'all';
  /** Store symbolic links as links instead of following them. */
  symlinks?: boolean;
  /** Each folder's names in byte order: an archive that does not depend on the system's listing order. */
  sort?: boolean;
  /** Store each entry's own POSIX mode under a Unix host, so scripts stay executable; default true. */
  unixModes?: boolean;
  /** Store a file whose deflated form would be no smaller (not on a stream); default true. */
  storeIncompressible?: boolean;
  /** Extensions ("jpg", "tar.zst") stored without trying deflate; default: the built-in list of compressed formats; [] stores none by name. */
  storedTypes?: Iterable<string> | null;
  /** No time stored is later than this (seconds since 1970, or a Date), as SOURCE_DATE_EPOCH. */
  mtimeCeiling?: number | bigint | Date;
  /**
   * Encrypts the data of every file and link with this password (a string
   * is taken as UTF-8). Names, sizes and times stay readable.
   */
  password?: string | Buffer;
  /**
   * With password: 'aes256' (default) or 'aes128', WinZip's AES, which 7-Zip
   * and libarchive open; 'zipcrypto', weak, for readers that open nothing
   * else (Info-ZIP's unzip, the archive folders built into desktop systems).
   */
  encryption?: 'aes256' | 'aes128' | 'zipcrypto';
  /**
   * Called on the main thread for every file read, added or left out, and
   * once at the end. A throw stops the pack, which rejects with what was
   * thrown.
   */
  onProgress?: (event: ProgressEvent) => void;
  /** Aborting stops the pack; it rejects with an AbortError and leaves no archive. */
  signal?: AbortSignal;
}

export interface StreamOptions extends PackOptions {
  /** The stream's highWaterMark in bytes; default 64 KiB. */
  highWaterMark?: number;
}

export type ErrorCode =
  | 'ZIPFOLDER_BAD_ARGUMENT'
  | 'ZIPFOLDER_NO_SOURCE'
  | 'ZIPFOLDER_CANNOT_CREATE'
  | 'ZIPFOLDER_WRITE_FAILED'
  | 'ZIPFOLDER_DISK_FULL'
  | 'ZIPFOLDER_CANCELLED'
  | 'ZIPFOLDER_NO_MEMORY'
  /** A password, and a library built without cryptography. */
  | 'ZIPFOLDER_NOT_SUPPORTED';

/** A failed pack; nothing was created or replaced. */
export class ZipFolderError extends Error {
  /** 'AbortError' when the signal stopped the pack. */
  name: 'ZipFolderError' | 'AbortError';
  code: ErrorCode;
  /** The library's status number (see STATUS). */
  status: number;
  /** The source folder or the archive, whichever failed, or null. */
  path: string | null;
  /** The system's words, e.g. "no such file or directory". */
  reason: string;
  /** The system's error number (errno); 0 when none. */
  errno: number;
  /** Its name, e.g. 'ENOENT', or null. */
  systemCode: string | null;
}

/**
 * Packs every file below the folder src into the new ZIP archive dst, on
 * threads of its own: the event loop stays free. An existing dst is
 * replaced only once the new archive is complete.
 */
export function pack(src: PathLike, dst: PathLike, options?: PackOptions): Promise<Result>;

/** The archive's bytes as a stream, made at the pace they are read. */
export interface ZipStream extends Readable {
  /** The Result, once the archive is complete. */
  result: Result | null;
  on(event: 'result', listener: (result: Result) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
  once(event: 'result', listener: (result: Result) => void): this;
  once(event: string | symbol, listener: (...args: any[]) => void): this;
}

/**
 * The ZIP archive of the folder src as a Readable (for an HTTP response or
 * an upload): while nobody reads, the pack waits. Destroying the stream
 * stops the pack.
 */
export function packStream(src: PathLike, options?: StreamOptions): ZipStream;

/** The processors this process may run on: the default thread count. */
export function processorCount(): number;

export const STATUS: {
  readonly DONE: 0;
  readonly DONE_LEFT_OUT: 1;
  readonly BAD_ARGUMENT: 2;
  readonly NO_SOURCE: 3;
  readonly CANNOT_CREATE: 4;
  readonly WRITE_FAILED: 5;
  readonly DISK_FULL: 6;
  readonly CANCELLED: 7;
  readonly NO_MEMORY: 8;
  readonly NOT_SUPPORTED: 10;
};
