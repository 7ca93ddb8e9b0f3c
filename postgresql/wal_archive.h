// The WAL archive as a backup works in it: opened once, and each WAL file
// the backup hands to the archiver fixed where the server's account cannot
// change it.
//
// The server's account writes the archive directory and, often, the
// directory that holds it. By name, a WAL file the module checked could be
// swapped for a link, a FIFO or another file before the archiver (run as
// root) reads it, and the archive directory itself for a link to another
// directory before the module lists, reads or removes files in it. So the
// directory is opened once and every later step works relative to that
// descriptor; each WAL file of the backup is opened without following a
// link, checked by its descriptor, and hard-linked (the very file checked)
// into a directory of root's alone inside the archive (a hard link stays on
// its file system). The archiver reads it through this process's descriptor
// of that directory, "/proc/<pid>/fd/<n>/<name>", which no other account can
// redirect; the archive keeps the server's own path as the file's name.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "utils/descriptors.h"

namespace hx_pg_backup {

class WalArchive {
 public:
  WalArchive() = default;
  WalArchive(const WalArchive&) = delete;
  WalArchive& operator=(const WalArchive&) = delete;
  ~WalArchive() { remove_links(); }

  // Opens the archive directory `path` (links on the way are followed, as
  // the administrator may have set them) and checks by the descriptor that
  // it belongs to `uid`, the server's account. False when it cannot be
  // opened (errno set), or when `owner` (the owner it has) is not `uid`.
  bool open(const std::string& path, uid_t uid, uid_t& owner);
  bool is_open() const { return archive_.valid(); }
  // The descriptor of the opened archive directory (-1 when closed).
  int fd() const { return archive_.get(); }
  const std::string& path() const { return path_; }

  // Fixes the WAL file `name` of the archive for the archiver: a regular
  // file (opened without following a link and without blocking) of the
  // server's account, of exactly `segment_size` bytes when `name` is a
  // segment's and of at most kHistoryFileBound bytes when it is a history
  // file's (both read on the opened file), hard-linked into the links
  // directory, which is made on first use (".hx_backup_wal", root's, mode
  // 0700; a leftover of an earlier task is reused). `source` receives the
  // path by which the archiver reads it. False with `error` saying what lies
  // at the name or why it could not be linked.
  bool fix(const std::string& name, std::uint64_t segment_size, std::string& source, std::string& error);

  // Removes the WAL file `name` (a name of a WAL file kind) of the archive,
  // when it is a regular file of the server's account: renamed first into
  // the links directory, judged there and unlinked. True when it is gone
  // (also when it was gone before). Anything else is put back (or, when its
  // name was taken meanwhile, kept in the links directory) and `why` says
  // what it is.
  bool remove(const std::string& name, std::string& why);

  // Removes the links and their directory; the archive stays open. Nothing
  // happens when there are none.
  void remove_links();

  // Removes the links and lets the archive go.
  void close();

  // True when every file fixed for the archiver still has the size it had
  // when it was checked: the server's account can change a file through its
  // own name while the archiver reads it (a segment grown or cut would be
  // archived so, and no server could recover from it). False with `error`
  // naming the first file that changed.
  bool unchanged(std::string& error) const;

 private:
  bool open_links(std::string& error);

  hx_utils_common::UniqueFd archive_;
  hx_utils_common::UniqueFd links_;
  std::string path_;
  uid_t uid_ = 0;
  std::vector<std::pair<std::string, off_t>> fixed_;  // name and size checked
};

}  // namespace hx_pg_backup
