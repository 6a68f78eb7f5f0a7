// The frame of the run log: its header and trailer.
#pragma once

/// Opens ".mirror_log" in the current directory for appending in text mode and
/// writes the section header; the run goes on silently without a log on failure.
void openRunLog();
/// Writes the section trailer and closes the log, if it is open, once it is on disk
/// (unless noSync is set). Returns 0, or 1 when the log could not be written whole.
int closeRunLog();
