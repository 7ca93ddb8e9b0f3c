// LVM snapshots of a full backup: finding the logical volume under a path,
// creating, measuring, mounting, unmounting and removing snapshots.
//
// Every outside program runs through hx_utils_common::execute_command. Paths
// and device names go into the commands through hx_utils_common::shell_arg,
// so ordinary paths keep the plain command text and unusual ones are quoted.
#include "postgresql/hx_module_pg_ostrel.h"
#include "postgresql/lvm_details.h"

#include "log/hx_logger.h"
#include "module/resource_lock.h"
#include "utils/hx_utils_common.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include <boost/algorithm/string.hpp>
#include <boost/algorithm/string/trim_all.hpp>
#include <boost/filesystem.hpp>

namespace {

const char* const kInfoSignature =
    "bool HxModule_PG_Ostrel::get_lvm_info_of_mountpoint(std::string, std::string&, std::string&, std::string&)";
const char* const kCreateSignature = "bool HxModule_PG_Ostrel::create_lvm_snapshot(std::string, std::string&, unsigned int)";
const char* const kExistsSignature = "bool HxModule_PG_Ostrel::does_snapshot_exist(std::string)";
const char* const kPercentSignature = "bool HxModule_PG_Ostrel::get_lvm_data_percent(std::string, std::string&)";
const char* const kRemoveSignature = "bool HxModule_PG_Ostrel::remove_snapshot(lvm_snapshot_info, bool&)";
const char* const kMakeSignature = "bool HxModule_PG_Ostrel::make_lvm_snapshots_and_mount()";
const char* const kUmountSignature = "void HxModule_PG_Ostrel::umount_and_remove_snapshots()";

using hx_utils_common::execute_command;
using hx_utils_common::shell_arg;

// A snapshot that lvremove refuses (a udev rule or a short-lived reader
// holding it open for a moment) is tried again once a second, this many
// times, before its removal is given up.
constexpr int kRemoveRetries = 5;

// Logs a command's output as one line at the given level, as it came (a line
// end is added only when the output has none of its own).
void log_output(HxLogLvl::Level level, const std::string& output) {
  const bool has_end = !output.empty() && output.back() == '\n';
  HxLogStream(level) << output << (has_end ? "" : "\n");
}

// The two lines of a failed command: signature + ": command: " + command,
// then its output.
void log_failed_command(HxLogLvl::Level level, const char* signature, const std::string& command,
                        const std::string& output) {
  HxLogStream(level) << signature << ": command: " << command << std::endl;
  log_output(level, output);
}

// Runs an LVM tool: its standard output (the only part that is parsed)
// goes to `output`; `shown` receives what a failure log shows, both streams.
// Hosts often make these tools print warnings on standard error.
int run_lvm_tool(const std::string& command, std::string& output, std::string& shown) {
  std::string errors;
  const int status = execute_command(command, output, errors);
  shown = output + errors;
  return status;
}

}  // namespace

namespace hx_pg_lvm {

std::uint64_t snapshot_size_bytes(unsigned int percent, long long origin_size) {
  const double share = std::round(static_cast<double>(percent) * static_cast<double>(origin_size) / 100.0);
  const double sectors = std::round(share / 512.0);
  return static_cast<std::uint64_t>(sectors) * 512;
}

std::string trim_all(std::string text) {
  boost::algorithm::trim_all(text);
  return text;
}

std::string without_newlines(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

void parse_df_output(const std::string& output, std::string& device, std::string& mount_point) {
  std::vector<std::string> tokens;
  const std::string line = trim_all(output);
  boost::algorithm::split(tokens, line, [](char c) { return c == ' '; });
  if (!tokens.empty()) device = tokens[0];
  if (tokens.size() > 5) mount_point = tokens[5];
}

bool is_xfs_type(const std::string& type_output) { return without_newlines(type_output) == "xfs"; }

bool is_full_snapshot(const std::string& percent_text) { return std::stof(percent_text) == 100.0f; }

void order_for_removal(std::vector<lvm_snapshot_info>& snapshots) {
  // Ascending order seen through reverse iterators is descending order in
  // forward direction.
  std::sort(snapshots.rbegin(), snapshots.rend());
}

std::vector<std::pair<std::string, std::string>> order_for_mounting(const std::map<std::string, std::string>& volumes) {
  // A volume comes after every volume whose mount point holds its own, so
  // the order is by nesting depth; volumes that do not nest keep the device
  // order.
  auto holds = [](const std::string& outer, const std::string& inner) {
    if (outer == inner) return false;
    if (outer == "/") return true;
    return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 && inner[outer.size()] == '/';
  };
  std::vector<std::pair<std::size_t, std::pair<std::string, std::string>>> ranked;
  for (const auto& volume : volumes) {
    std::size_t depth = 0;
    for (const auto& other : volumes) depth += holds(other.second, volume.second) ? 1 : 0;
    ranked.emplace_back(depth, volume);
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<std::string, std::string>> ordered;
  for (const auto& entry : ranked) ordered.push_back(entry.second);
  return ordered;
}

std::string snapshot_lock_name(const std::string& snapshot) {
  return "Halvex_MOD_snapshot_" + hx_resource_lock::resource_digest_text(snapshot) + ".owner";
}

}  // namespace hx_pg_lvm

bool HxModule_PG_Ostrel::lock_snapshot_name(const std::string& snapshot, std::string& refusal) {
  refusal.clear();
  if (snapshot_locks_.count(snapshot) != 0) return true;
  auto lock = std::make_unique<hx_owner_lock>();
  const std::string description =
      "PID " + std::to_string(getpid()) + ", a backup of the resource '" + options_.resource + "'";
  // A snapshot's name is the same whatever program makes it: its lock is
  // shared by every program of the product.
  std::string holder;
  if (!lock->try_lock(shared_state_directory(), hx_pg_lvm::snapshot_lock_name(snapshot), description, holder)) {
    if (lock->unavailable()) {
      refusal = "the lock of the snapshot " + snapshot + " cannot be taken: " + lock->problem();
    } else {
      refusal = "the snapshot " + snapshot + " belongs to another running task of this module (" +
                (holder.empty() ? std::string("its process could not be named") : holder) +
                "); it is not removed. Run the backup again when that task has ended";
    }
    return false;
  }
  snapshot_locks_.emplace(snapshot, std::move(lock));
  return true;
}

void HxModule_PG_Ostrel::release_snapshot_locks() {
  for (auto it = snapshot_locks_.begin(); it != snapshot_locks_.end();) {
    const bool recorded = std::any_of(lvm_snapshots_.begin(), lvm_snapshots_.end(),
                                      [&](const lvm_snapshot_info& record) { return record.snapshot == it->first; });
    it = recorded ? std::next(it) : snapshot_locks_.erase(it);
  }
}

bool HxModule_PG_Ostrel::make_mount_directory(const std::string& origin_mount_point, const std::string& directory) {
  if (!claim_task_directory(kMakeSignature)) return false;
  // Walked and made by descriptor from the task directory: a link on the way
  // (in the task directory, or inside a snapshot mounted there before) is
  // refused, never followed out of it.
  std::string error;
  const hx_utils_common::UniqueFd made =
      hx_utils_common::make_directories_at(task_directory_.get(), origin_mount_point, 0700, error);
  if (!made) {
    HxLogStream(HxLogLvl::Error) << kMakeSignature << ": can't make the mount directory " << directory
                                 << " below the task directory: " << error << std::endl;
    return false;
  }
  // The mount command is given the path, which leads where the walk did:
  // every element on it is root's alone, or lies in a snapshot that only
  // the task directory leads to.
  return true;
}

bool HxModule_PG_Ostrel::get_lvm_info_of_mountpoint(std::string path, std::string& device, std::string& vg,
                                                    std::string& mount_point) {
  try {
    std::string output;
    const std::string df_command = "LANG=C df " + shell_arg(path) + " | grep ^/dev";
    if (execute_command(df_command, output) != 0) {
      log_failed_command(HxLogLvl::Error, kInfoSignature, df_command, output);
      return false;
    }
    hx_pg_lvm::parse_df_output(output, device, mount_point);

    output.clear();
    std::string shown;
    const std::string vg_command =
        "LANG=C /sbin/lvs " + shell_arg(device) + " --nosuffix --units B -o vg_name --noheadings";
    if (run_lvm_tool(vg_command, output, shown) != 0) {
      HxLogStream(HxLogLvl::Error) << "Device: " << device << " is not a LVM volume" << std::endl;
      log_failed_command(HxLogLvl::Error, kInfoSignature, vg_command, shown);
      return false;
    }
    vg = hx_pg_lvm::trim_all(output);
    return true;
    // GCOVR_EXCL_START: nothing in the try block throws but the allocator; the commands report failures by their status
  } catch (const pqxx::sql_error& e) {
    HxLogStream(HxLogLvl::Error) << kInfoSignature << ": Database error: " << e.what() << std::endl;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kInfoSignature << ": " << e.what() << std::endl;
  }
  // GCOVR_EXCL_STOP
  return false;
}

bool HxModule_PG_Ostrel::create_lvm_snapshot(std::string volume, std::string& snapshot, unsigned int percent) {
  try {
    std::string output;
    std::string shown;
    const std::string size_command =
        "LANG=C /sbin/lvs " + shell_arg(volume) + " --nosuffix --units B -o lv_size --noheadings";
    if (run_lvm_tool(size_command, output, shown) != 0) {
      log_failed_command(HxLogLvl::Error, kCreateSignature, size_command, shown);
      return false;
    }
    const long long origin_size = std::stoll(hx_pg_lvm::without_newlines(hx_pg_lvm::trim_all(output)), nullptr, 10);
    const std::uint64_t size = hx_pg_lvm::snapshot_size_bytes(percent, origin_size);

    output.clear();
    const std::string create_command = "LANG=C /sbin/lvcreate --size " + std::to_string(size) +
                                       "B --snapshot --name " + shell_arg(snapshot) + " " + shell_arg(volume);
    if (execute_command(create_command, output) != 0) {
      HxLogStream(HxLogLvl::Error) << kCreateSignature << ": unable create a snapshot for the volume: '" << volume
                                   << "'" << std::endl;
      log_output(HxLogLvl::Error, output);
      return false;
    }
    HxLogStream(HxLogLvl::Info) << "Create snapshot for the volume: '" << volume << "', snapshot: '" << snapshot
                                << "'" << std::endl;
    return true;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kCreateSignature << ": " << e.what() << std::endl;
  }
  return false;
}

bool HxModule_PG_Ostrel::does_snapshot_exist(std::string snapshot) {
  try {
    std::string output;
    return execute_command("LANG=C /sbin/lvs " + shell_arg(snapshot), output) == 0;
    // GCOVR_EXCL_START: nothing in the try block throws but the allocator; the command reports failure by its status
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kExistsSignature << ": " << e.what() << std::endl;
  }
  // GCOVR_EXCL_STOP
  return false;
}

bool HxModule_PG_Ostrel::get_lvm_data_percent(std::string snapshot, std::string& out) {
  try {
    std::string output;
    std::string shown;
    const std::string command = "LANG=C /sbin/lvs " + shell_arg(snapshot) + " --nosuffix -o data_percent --noheadings";
    if (run_lvm_tool(command, output, shown) != 0) {
      HxLogStream(HxLogLvl::Error) << "Device: " << snapshot << " is not a LVM volume" << std::endl;
      log_failed_command(HxLogLvl::Error, kPercentSignature, command, shown);
      return false;
    }
    out = output;
    return true;
    // GCOVR_EXCL_START: nothing in the try block throws but the allocator; the command reports failure by its status
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kPercentSignature << ": " << e.what() << std::endl;
  }
  // GCOVR_EXCL_STOP
  return false;
}

bool HxModule_PG_Ostrel::remove_snapshot(lvm_snapshot_info info, bool& overflow) {
  try {
    std::string output;
    if (!info.mount_point.empty()) {
      // A lazy, forced unmount detaches the tree even while the archiver's
      // files are still open; whether it worked shows in the removal.
      execute_command("LANG=C /bin/umount -lf " + shell_arg(info.mount_point), output);
    }

    std::string percent;
    if (get_lvm_data_percent(info.snapshot, percent)) {
      percent = hx_pg_lvm::without_newlines(percent);
      HxLogStream(HxLogLvl::Info) << "Snapshot '" << info.snapshot << "' was used for: " << percent << "%"
                                  << std::endl;
      if (hx_pg_lvm::is_full_snapshot(percent)) {
        HxLogStream(HxLogLvl::Error) << kRemoveSignature << ": snapshot was used for 100%" << std::endl;
        overflow = true;
      }
    }

    const std::string command = "LANG=C /sbin/lvremove -y " + shell_arg(info.snapshot);
    for (int retry = 0;; ++retry) {
      output.clear();
      if (execute_command(command, output) == 0) {
        HxLogStream(HxLogLvl::Info) << "The snapshot was removed: " << info.snapshot << std::endl;
        return true;
      }
      // A snapshot that is gone cannot be removed by waiting; one still
      // there is often held open for a moment only.
      if (retry >= kRemoveRetries || !does_snapshot_exist(info.snapshot)) break;
      if (retry == 0) {
        HxLogStream(HxLogLvl::Info) << "The snapshot " << info.snapshot << " can't be removed yet; trying again for "
                                    << kRemoveRetries << " seconds" << std::endl;
      }
      hx_utils_common::sleep_seconds(1);
    }
    HxLogStream(HxLogLvl::Error) << kRemoveSignature << ": can't remove snapshot: " << info.snapshot << std::endl;
    HxLogStream(HxLogLvl::Error) << ": command: " << command << std::endl;
    log_output(HxLogLvl::Error, output);
    return false;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kRemoveSignature << ": " << e.what() << std::endl;
  }
  return false;
}

bool HxModule_PG_Ostrel::make_lvm_snapshots_and_mount() {
  try {
    for (const auto& entry : hx_pg_lvm::order_for_mounting(lvm_volumes_)) {
      const std::string& device = entry.first;
      const std::string& origin_mount_point = entry.second;
      std::string snapshot = device + ".snap";

      // The caller holds the lock of this name: a snapshot of it is left
      // from an earlier run that did not get to its clean-up, and goes
      // before a new one is made.
      if (does_snapshot_exist(snapshot)) {
        HxLogStream(HxLogLvl::Info) << "Snapshot: " << snapshot << " exists. Try to remove it" << std::endl;
        bool stale_overflow = false;
        remove_snapshot(lvm_snapshot_info(std::string(), snapshot, snapshot), stale_overflow);
      }

      const std::string directory = options_.tmp_operation_directory + "/" + options_.archive_name + origin_mount_point;
      {
        // Made and recorded in one step, which an abort waits for: the
        // release then knows every snapshot it has to remove, mounted or not.
        HxAbortDeferral deferral;
        if (!create_lvm_snapshot(device, snapshot, lvm_snapshot_size_)) {
          pg_stop_backup();
          umount_and_remove_snapshots();
          return false;
        }
        lvm_snapshots_.push_back(lvm_snapshot_info(device, snapshot, directory));
      }
      if (!make_mount_directory(origin_mount_point, directory)) {
        pg_stop_backup();
        umount_and_remove_snapshots();
        return false;
      }

      std::string options;
      std::string output;
      const std::string type_command = "/bin/lsblk -nf " + shell_arg(snapshot) + " | /usr/bin/awk '{print $2}'";
      if (execute_command(type_command, output) != 0) {
        log_failed_command(HxLogLvl::Warning, kMakeSignature, type_command, output);
      } else {
        // lsblk takes the type from udev; a host without udev leaves it
        // empty. blkid then reads it from the snapshot's superblock itself,
        // so that an xfs copy still gets the option it cannot mount without.
        if (hx_pg_lvm::trim_all(output).empty()) {
          std::string errors;
          output.clear();
          execute_command("/sbin/blkid -p -o value -s TYPE " + shell_arg(snapshot), output, errors);
        }
        if (hx_pg_lvm::is_xfs_type(output)) options = "-o nouuid";
      }

      output.clear();
      const std::string mount_command = "/bin/mount " + options + " " + shell_arg(snapshot) + " " + shell_arg(directory);
      if (execute_command(mount_command, output) != 0) {
        log_failed_command(HxLogLvl::Error, kMakeSignature, mount_command, output);
        pg_stop_backup();
        umount_and_remove_snapshots();
        return false;
      }
    }
    return true;
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kMakeSignature << ": " << e.what() << std::endl;
  }
  return false;
}

void HxModule_PG_Ostrel::umount_and_remove_snapshots() {
  try {
    hx_pg_lvm::order_for_removal(lvm_snapshots_);
    // A removed snapshot leaves the list at once, so that a second run (the
    // release of an abort that stopped this one between two snapshots)
    // neither removes nor reports it again; one that could not be removed
    // stays for a retry, and its name stays locked until the task ends.
    const std::vector<lvm_snapshot_info> records = lvm_snapshots_;
    std::vector<lvm_snapshot_info> left;
    for (const auto& record : records) {
      bool overflow = false;
      const bool removed = remove_snapshot(record, overflow);
      // A snapshot that filled up was invalidated by LVM while the archiver
      // read it: what was read from it after that moment is not the
      // snapshot's data. The release fails the backup for it.
      if (overflow) overflowed_snapshots_.push_back(record);
      if (!removed) {
        left.push_back(record);
        continue;
      }
      const auto at = std::find_if(lvm_snapshots_.begin(), lvm_snapshots_.end(),
                                   [&](const lvm_snapshot_info& r) { return r.snapshot == record.snapshot; });
      if (at != lvm_snapshots_.end()) lvm_snapshots_.erase(at);
      snapshot_locks_.erase(record.snapshot);
    }
    for (const auto& record : left) {
      HxLogStream(HxLogLvl::Error) << kUmountSignature << ": the snapshot " << record.snapshot << " of the volume "
                                   << record.volume
                                   << " could not be removed and is left behind; the next full backup removes it"
                                   << std::endl;
    }
    // GCOVR_EXCL_START: nothing in the try block throws but the allocator; remove_snapshot catches its own exceptions
  } catch (const std::exception& e) {
    HxLogStream(HxLogLvl::Error) << kUmountSignature << ": " << e.what() << std::endl;
  }
  // GCOVR_EXCL_STOP
}
