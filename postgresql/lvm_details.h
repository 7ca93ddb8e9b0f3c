// Pure helpers of the LVM snapshot code: the reading of tool output and the
// arithmetic that the commands are built from.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <string>
#include <vector>

#include "postgresql/hx_postgresql_common.h"

namespace hx_pg_lvm {

// Bytes to give a snapshot of `percent` percent of an origin of `origin_size`
// bytes: the multiple of 512 nearest to the share, computed in double
// precision with halves rounded away from zero (first the share in bytes,
// then the number of 512-byte sectors).
std::uint64_t snapshot_size_bytes(unsigned int percent, long long origin_size);

// Reads the df line of the file system that holds a path: token 0 (the
// device) into `device` and token 5 (the mount point) into `mount_point`,
// after white space was trimmed and inner runs of it reduced to their first
// character, splitting at single blanks. A line with fewer than six tokens
// leaves `mount_point` as it was; a mount point with a blank in it is cut
// at the blank.
void parse_df_output(const std::string& output, std::string& device, std::string& mount_point);

// Text with leading and trailing white space removed and each inner run of
// white space reduced to its first character.
std::string trim_all(std::string text);

// Text with every "\n" deleted.
std::string without_newlines(std::string text);

// True when the file-system type printed for a snapshot, once its line ends
// are deleted, is exactly "xfs" (such a copy must be mounted with -o nouuid:
// xfs refuses a second file system with the UUID of a mounted one).
bool is_xfs_type(const std::string& type_output);

// True when a fill level printed by lvs (line ends already deleted) is
// exactly 100. Throws std::invalid_argument / std::out_of_range (std::stof)
// for text that holds no number.
bool is_full_snapshot(const std::string& percent_text);

// Puts records in the order in which they are unmounted and removed: by
// descending length of the mount point, so that a mount directory nested in
// another is handled first. Records of equal length keep no defined order.
void order_for_removal(std::vector<lvm_snapshot_info>& snapshots);

// The volumes (device -> mount point) in the order in which their snapshots
// are mounted: a mount point nested inside another one comes after it, so an
// inner snapshot is never hidden under its parent's, whatever the device
// names sort as.
std::vector<std::pair<std::string, std::string>> order_for_mounting(const std::map<std::string, std::string>& volumes);

// The name of the owner lock (hx_owner_lock) that a task holds on a snapshot
// it made, from the snapshot's device path: one name per device path, made
// only of the characters a lock name may hold.
std::string snapshot_lock_name(const std::string& snapshot);

}  // namespace hx_pg_lvm
