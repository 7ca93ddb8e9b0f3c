// Putting restored trees into the server's directories so that the server's
// own files are never lost: each destination first sets its old entries
// aside in a directory that root makes inside it (on its own file system, so
// a rename suffices, also when the destination is a mount point), then
// receives the restored entries; the set-aside entries are removed only once
// every destination has been filled.
//
// The server's account owns the destinations and can rename, replace or
// link anything in them at any moment. So every operation there runs
// relative to directory descriptors opened without following links, the
// set-aside directory is made by root (mode 0700) and known by its identity,
// and what decides what a deployment moves, puts back or removes is kept in
// records in a directory of the program's own that only root can write
// (RecordStore), written ahead of each step that cannot be undone by itself.
// The same restore, run again after a deployment was killed half way, reads
// them and puts the server's own files back (or, when every destination was
// filled, removes them) before it does anything else.
#pragma once

#include "utils/descriptors.h"

#include <boost/filesystem.hpp>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace hx_postgresql_common {
namespace placement {

// Name of the set-aside directory inside a destination.
extern const char* const kTaskDirectory;

// The path as messages show it: in double quotes, with a backslash before a
// double quote or backslash in it.
std::string path_text(const boost::filesystem::path& path);

// What tells one file from another: device and inode and, where the file
// system keeps it, the birth time, which a new file that reuses a freed inode
// number does not share.
struct Identity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t birth_seconds = 0;
  std::uint32_t birth_nanoseconds = 0;

  bool operator==(const Identity& other) const;
  bool operator!=(const Identity& other) const { return !(*this == other); }
};

// The identity of `name` in the directory `at` (a link itself, never
// followed), or of the descriptor itself for an empty name; false with errno
// set when there is nothing.
bool identity_at(int at, const std::string& name, Identity& out);

// How far the making of a directory got: Begun is recorded before the
// directory is made, Done with its identity once it is.
enum class Step { None = 0, Begun = 1, Done = 2 };

// A restored entry moved or copied into a destination.
struct Moved {
  std::string name;
  Identity identity;
};

// What the records keep of one destination.
struct Record {
  std::string destination;  // as the server names it, for messages
  std::string target;       // its resolved path
  std::string source;       // the restored tree below the restore root; empty when only emptied
  Step made = Step::None;   // the deployment made the destination
  Identity made_identity;
  Step aside = Step::None;  // the set-aside directory inside it
  Identity aside_identity;
  bool set_aside = false;   // every own entry is in the set-aside directory
  std::vector<Moved> moved;  // written before the entries go in
};

// The records of one deployment.
struct Records {
  std::string root;
  bool server_ran = false;  // the server ran before the deployment stopped it
  bool complete = false;    // every destination was filled
  std::vector<Record> placements;
};

// The records directory of one cluster. Every file is written anew and
// renamed into place, so a kill at any moment leaves either the old or the
// new text; names and paths are stored NUL-separated.
class RecordStore {
 public:
  // Opens the directory (made when missing) with open_private_directory;
  // false with `error` naming the element and the reason.
  bool open(const std::string& path, std::string& error);
  // Reads the records; false when there are none. Throws when they cannot
  // be read.
  bool load(Records& records) const;
  // Writes everything but the lists of moved entries.
  void save(const Records& records) const;
  void save_moved(std::size_t index, const std::vector<Moved>& moved) const;
  // Removes the records (the lists of moved entries first). Throws on failure.
  void clear() const;
  const std::string& path() const { return path_; }

 private:
  void write(const std::string& name, const std::string& data) const;
  void remove_moved_lists() const;

  hx_utils_common::UniqueFd directory_;
  std::string path_;
};

// One destination of this run: its record and the directories it works on.
struct Placement {
  Record record;
  // The restored tree as messages show it.
  boost::filesystem::path source_path;
  hx_utils_common::UniqueFd source;  // empty when only emptied
  hx_utils_common::UniqueFd target;  // empty while the destination does not exist
  hx_utils_common::UniqueFd parent;  // the destination's parent, when it is to be made
  hx_utils_common::UniqueFd aside;
  // Entries of the destination that are destinations of their own (mount
  // points inside it): neither set aside nor filled with it.
  std::set<std::string> skipped;
};

// What lies at the set-aside name of a destination, judged against the
// record: nothing, the directory the deployment made (`fd` receives it), or
// something else, which is never read, moved or removed. A recorded
// set-aside directory that the server's account renamed inside the
// destination (it cannot move it out: that needs write access to the
// directory itself) is found by its identity: Ours, with `name` (when given)
// receiving the name it has now.
enum class Aside { Absent, Ours, Foreign };
Aside recorded_aside(int target, const Record& record, hx_utils_common::UniqueFd* fd = nullptr,
                     std::string* name = nullptr);

// True when the source and the destination (or, for a destination that does
// not exist, its parent) lie on different file systems.
bool crosses_file_systems(const Placement& placement);

// Bytes and entries the source takes (regular files by their allocated or
// written size, whichever is smaller; a block for every other entry), without
// the skipped entries. Calls the abort point as it goes.
void tree_size(const Placement& placement, std::uint64_t block, std::uint64_t& bytes, std::uint64_t& entries);

// Makes the destination when it does not exist and the set-aside directory
// in it (root's, mode 0700, checked on the opened descriptor), and puts their
// identities into the record.
void prepare(Placement& placement);

// Gives a destination the deployment made the owner and mode of its restored
// tree (root's, 0700, without one).
void hand_over_made(const Placement& placement);

// Entries of the destination `target` that belong to its file system, not to
// the server: the lost+found at the top of a mount point. They are never
// looked at, set aside or replaced.
std::set<std::string> file_system_entries(int target);

// The first entry below the destination `target` (shown as `shown`), at any
// depth, that the deployment must not set aside and remove: one that the
// server's account `uid` does not own (root's, a third account's), or a
// mount point. Entries of `left_out` at the top and the file system's own
// are not looked at. Empty when there is none; otherwise its path, type and
// owner for a message. Calls the abort point as it goes.
std::string first_foreign_entry(int target, const boost::filesystem::path& shown, uid_t uid,
                                const std::set<std::string>& left_out);

// Renames every entry of the destination (but the set-aside directory, the
// skipped entries and the file system's own) into the set-aside directory.
void set_aside(Placement& placement);

// Brings the entries of the source into the destination: renamed on one file
// system, otherwise (and for the names in `copied`) copied (cp -a) into the
// set-aside directory first, flushed to stable storage, and renamed from
// there, the source keeping them. A mount point's lost+found in the source
// stays. Each batch is added to the record's moved entries, and `save`
// called, before it goes in.
void fill(Placement& placement, const std::set<std::string>& copied, const std::function<void()>& save);

// Flushes to stable storage the directories whose entries the set-aside and
// the fill changed: the destination, its set-aside directory with old/ and
// incoming/, the restored tree and the parent of a destination that was made.
void make_durable(const Placement& placement);

// Removes the set-aside directory of a recorded destination with what it
// holds: the entries of the server's account `account` (and the deployment's
// own directories), at any depth. An entry of another owner, or a mount
// point, is not removed: the set-aside directory is then kept, each such
// entry named in a Warning, and the result is false. Throws when something
// could not be removed.
bool finish(const Record& record, uid_t account);

// Undoes what a deployment did to a recorded destination: the restored
// entries it recorded (found under their names with their identities) leave
// it and are removed, as finish removes (they were within the server's
// account's reach, so they never go back into the restore root `root`); the
// set-aside entries return (an entry that took one's name meanwhile is kept
// in the set-aside directory's added/, with a Warning); the set-aside
// directory goes, unless it keeps what was not removed; the destination too
// when the deployment made it. Anything else in the destination stays, with
// a Warning. True when the restore root still holds every restored entry
// (those taken out of it by rename are gone); throws when something could
// not be put back.
bool roll_back(const Record& record, const std::string& root, uid_t account);

}  // namespace placement
}  // namespace hx_postgresql_common
