// Putting restored trees into the server's directories so that the server's
// own files are never lost: each destination first sets its old entries
// aside in a task directory inside itself (on its own file system, so a
// rename suffices, also when the destination is a mount point), then
// receives the restored entries; the set-aside entries are removed only once
// every destination has been filled. The task directory records what a
// deployment killed half way had done, so that the same restore, run again,
// puts the old entries back (or finishes what was complete) before it
// deploys anew.
#pragma once

#include <boost/filesystem.hpp>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace hx_postgresql_common {
namespace placement {

// Name of the task directory inside a destination.
extern const char* const kTaskDirectory;

// The path as messages show it: in double quotes, with a backslash before a
// double quote or backslash in it.
std::string path_text(const boost::filesystem::path& path);

// True when anything (a link too, never followed) lies at the path; its
// facts go into `st` when given.
bool lexists(const boost::filesystem::path& path, struct stat* st = nullptr);

// One destination of a deployment.
struct Placement {
  // The restored tree whose entries go into the destination; empty when the
  // destination is only emptied.
  boost::filesystem::path source;
  // The destination as the server names it (for messages) and its resolved
  // path, which every operation uses.
  boost::filesystem::path destination;
  boost::filesystem::path target;
  // Entries of the destination that are destinations of their own (mount
  // points inside it): neither set aside nor filled with it.
  std::set<std::string> skipped;
};

// The task directory of a placement.
boost::filesystem::path task_directory(const Placement& placement);

// True when the task directory of an interrupted deployment lies in the
// destination; `root` then receives the restore root it recorded.
bool interrupted(const Placement& placement, std::string& root);

// True when the recorded deployment had filled every destination (the mark
// is kept in the data directory's task directory).
bool completed(const Placement& placement);

// True when the source and the destination (or, for a destination that does
// not exist, its parent) lie on different file systems.
bool crosses_file_systems(const Placement& placement);

// Bytes and entries the source takes (regular files by their allocated or
// written size, whichever is smaller; a block for every other entry), without
// the skipped entries. Calls the abort point as it goes.
void tree_size(const Placement& placement, std::uint64_t block, std::uint64_t& bytes, std::uint64_t& entries);

// Makes the destination when it does not exist (with the mode and owner of
// the source) and its task directory, which records `root` and the source.
// Returns whether the destination was made.
bool prepare(const Placement& placement, const std::string& root);

// Renames every entry of the destination (but the task directory and the
// skipped entries) into the task directory, then marks the destination as
// being filled.
void set_aside(const Placement& placement);

// Moves the entries of the source into the destination: renamed on one file
// system; otherwise copied (cp -a) into the task directory first and renamed
// from there, the source being kept.
void fill(const Placement& placement);

// Marks the deployment as complete (in the data directory's placement).
void mark_completed(const Placement& placement);

// Removes the task directory with the set-aside entries.
void finish(const Placement& placement);

// Undoes what a deployment did to the destination: restored entries go back
// to the source recorded in the task directory (or are removed when the
// source still holds them), set-aside entries back into place, and the task
// directory (and the destination, when the deployment made it) goes.
void roll_back(const Placement& placement);

// Removes a tree without following links and without crossing into another
// file system; throws when something stays.
void remove_tree(const boost::filesystem::path& path);

}  // namespace placement
}  // namespace hx_postgresql_common
