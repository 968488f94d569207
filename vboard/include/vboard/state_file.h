// state_file.h - saving the default bench's state file when several programs
// use the bench at once: each program writes only the boards whose state it
// changed, merged into what the file holds now, under an exclusive lock
// (flock on a sibling "<file>.lock"), so a watch on one board in one shell
// never undoes a serial number set on another board in a second shell.
//
// The file is a header line, one section per board ("board POSITION TYPE
// SERIAL" and its lines), and "end". A section belongs to a position on the
// bench.
#ifndef VBOARD_STATE_FILE_H
#define VBOARD_STATE_FILE_H

#include <cstddef>
#include <map>
#include <string>

namespace vboard {

// `current` (the file's text now; empty or unreadable counts as no boards)
// with the sections of `changed`, by position, put in place of the ones it
// holds for those positions; the other boards' sections stay as they are.
std::string mergeStateText(const std::string &current, const std::map<std::size_t, std::string> &changed);

// Locks `path`, merges `changed` into the file's current content and
// replaces the file through a sibling temporary file. When the file does not
// exist (yet), `all` (every board's section) is written instead, so the
// first run creates it; when it exists and nothing changed, nothing is
// written. An empty text when it worked, else what failed.
std::string saveMergedState(const std::string &path, const std::map<std::size_t, std::string> &changed,
                            const std::map<std::size_t, std::string> &all);

}  // namespace vboard

#endif
