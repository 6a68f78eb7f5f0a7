// The tag of a backup folder of --backup-dir: a small file at its top whose first
// line is a fixed signature. Every run knows a folder that holds it for the kept
// versions of some mirror: below either root, it is left out of the listing whole,
// so that no run deletes, replaces or copies over what it keeps, with or without
// --backup-dir. A file of that name without the signature is an ordinary file.
#pragma once

#include <cstddef>

/// The tag's name: at the top of the backup folder.
constexpr const char* backupTagName = ".talven-backup";
/// The line a tag begins with; a line end or the file's end follows it.
constexpr const char* backupTagSignature =
    "Signature: talven backup folder 033f091af5b7f155c1261d784a04ebe9";
/// The whole text of a tag the run makes: the signature, then what it means.
constexpr char backupTagText[] =
    "Signature: talven backup folder 033f091af5b7f155c1261d784a04ebe9\n"
    "# This folder keeps the files that talven moved away with --backup-dir.\n"
    "# talven never lists, deletes or copies over a folder that holds this file,\n"
    "# with or without --backup-dir. See talven(1).\n";
/// Bytes of a file's start that tell whether it is a tag.
constexpr size_t backupTagBytes = 80;

/// True when name is the tag's name, as the platform compares names.
bool isBackupTagName(const char* name);
/// True when the first length bytes of a file make it a tag.
bool isBackupTag(const char* start, size_t length);
/// True when the file name in the folder at folderPath (ending in a separator or
/// not) is a tag: a regular file, never a link, that begins with the signature.
bool holdsBackupTag(const char* folderPath, const char* name);
