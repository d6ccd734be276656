/* Results of ExtractZipToDir and of the extraction core. 0 is success; every failure has its own
   code. After any non-zero result other than ZPV_EXTRACT_ROLLBACK_INCOMPLETE the target folder holds
   exactly the files it held before the call. */
#ifndef ZPV_EXTRACT_STATUS_H
#define ZPV_EXTRACT_STATUS_H

enum ZpvExtractStatus {
    ZPV_EXTRACT_OK = 0,
    ZPV_EXTRACT_BAD_ARGUMENT = 1,        /* missing or empty path argument */
    ZPV_EXTRACT_ARCHIVE_UNREADABLE = 2,  /* the package cannot be opened or read */
    ZPV_EXTRACT_NOT_AN_ARCHIVE = 3,      /* no valid end-of-directory record or malformed directory */
    ZPV_EXTRACT_TRUNCATED = 4,           /* records or entry data run past the end of the file */
    ZPV_EXTRACT_UNSUPPORTED = 5,         /* encryption, split archives, unknown compression method */
    ZPV_EXTRACT_UNSAFE_PATH = 6,         /* entry path leaves the folder or is not a valid file name */
    ZPV_EXTRACT_BAD_NAME = 7,            /* entry name is not decodable text */
    ZPV_EXTRACT_DUPLICATE_ENTRY = 8,     /* two entries for one path, or a file where a folder is */
    ZPV_EXTRACT_OVERLAPPING_ENTRIES = 9, /* entry data ranges overlap each other or the directory */
    ZPV_EXTRACT_TOO_MANY_ENTRIES = 10,   /* entry count or directory size beyond the limits */
    ZPV_EXTRACT_TOO_LARGE = 11,          /* declared sizes beyond the limits */
    ZPV_EXTRACT_CORRUPT_DATA = 12,       /* compressed data is invalid */
    ZPV_EXTRACT_SIZE_MISMATCH = 13,      /* data does not have the declared size */
    ZPV_EXTRACT_CRC_MISMATCH = 14,       /* data does not have the declared CRC-32 */
    ZPV_EXTRACT_HEADER_MISMATCH = 15,    /* local header disagrees with the central directory */
    ZPV_EXTRACT_TARGET_UNUSABLE = 16,    /* target or staging folder cannot be created or used */
    ZPV_EXTRACT_WRITE_FAILED = 17,       /* writing a staged file failed (disk full, rights) */
    ZPV_EXTRACT_TARGET_CONFLICT = 18,    /* the target has a folder where a file goes, or the reverse */
    ZPV_EXTRACT_FILE_LOCKED = 19,        /* a file stayed locked beyond the retry time; rolled back */
    ZPV_EXTRACT_COMMIT_FAILED = 20,      /* moving files into place failed otherwise; rolled back */
    ZPV_EXTRACT_ROLLBACK_INCOMPLETE = 21,/* rollback could not restore everything, or an interrupted
                                            extraction found in the work folder could not be settled
                                            (the next run retries) */
    ZPV_EXTRACT_BUSY = 22,               /* another extraction into the same folder is running */
    ZPV_EXTRACT_DISK_FULL = 23,          /* the target's volume is full; rolled back */
    ZPV_EXTRACT_READ_ONLY = 24,          /* the target cannot be written (write-protected, no rights); rolled back */
    ZPV_EXTRACT_NAME_ALIAS = 25,         /* an entry reaches an existing file or folder under another name
                                            (a short-name alias); nothing changed */
    ZPV_EXTRACT_FOREIGN_WORK = 26,       /* the work folder, or the target along an interrupted extraction's
                                            paths, holds what no extraction leaves (a link, a special
                                            file, an unknown name, an oversized journal); left as it is,
                                            nothing changed */
    ZPV_EXTRACT_INTERNAL_ERROR = 99      /* unexpected failure (out of memory) */
};

/* A status in a few words, for log lines read by support. */
static inline const char* ZpvExtractStatusText(int status) {
    switch (status) {
        case ZPV_EXTRACT_OK: return "extracted";
        case ZPV_EXTRACT_BAD_ARGUMENT: return "missing or empty path argument";
        case ZPV_EXTRACT_ARCHIVE_UNREADABLE: return "the package cannot be opened or read";
        case ZPV_EXTRACT_NOT_AN_ARCHIVE: return "not a zip archive, or its directory is malformed";
        case ZPV_EXTRACT_TRUNCATED: return "the archive is cut short";
        case ZPV_EXTRACT_UNSUPPORTED: return "encryption, split archive or unknown compression method";
        case ZPV_EXTRACT_UNSAFE_PATH: return "an entry path leaves the folder or is no valid file name";
        case ZPV_EXTRACT_BAD_NAME: return "an entry name is not decodable text";
        case ZPV_EXTRACT_DUPLICATE_ENTRY: return "two entries for one path, or a file where a folder is";
        case ZPV_EXTRACT_OVERLAPPING_ENTRIES: return "entry data ranges overlap";
        case ZPV_EXTRACT_TOO_MANY_ENTRIES: return "too many entries";
        case ZPV_EXTRACT_TOO_LARGE: return "declared sizes beyond the limits";
        case ZPV_EXTRACT_CORRUPT_DATA: return "compressed data is invalid";
        case ZPV_EXTRACT_SIZE_MISMATCH: return "data does not have the declared size";
        case ZPV_EXTRACT_CRC_MISMATCH: return "data does not have the declared CRC-32";
        case ZPV_EXTRACT_HEADER_MISMATCH: return "a local header disagrees with the central directory";
        case ZPV_EXTRACT_TARGET_UNUSABLE: return "the target or staging folder cannot be created or used";
        case ZPV_EXTRACT_WRITE_FAILED: return "writing a staged file failed";
        case ZPV_EXTRACT_TARGET_CONFLICT: return "the target has a folder where a file goes, or the reverse";
        case ZPV_EXTRACT_FILE_LOCKED: return "a file stayed in use by another program";
        case ZPV_EXTRACT_COMMIT_FAILED: return "moving files into place failed; rolled back";
        case ZPV_EXTRACT_ROLLBACK_INCOMPLETE: return "an interrupted or failed extraction is not settled yet";
        case ZPV_EXTRACT_BUSY: return "another extraction into the folder is running";
        case ZPV_EXTRACT_DISK_FULL: return "the target's volume is full";
        case ZPV_EXTRACT_READ_ONLY: return "the target cannot be written";
        case ZPV_EXTRACT_NAME_ALIAS: return "an entry reaches an existing file under another name";
        case ZPV_EXTRACT_FOREIGN_WORK: return "the work folder holds what no extraction leaves";
        case ZPV_EXTRACT_INTERNAL_ERROR: return "unexpected failure (out of memory)";
        default: return "unknown status";
    }
}

#endif
