// The motions the daemon knows by name: the user's, in a folder the daemon
// writes, and the ones that come with the project, read-only.  A user's
// motion of the same name as a shipped one shadows it.  Each motion is one
// file, NAME.json, in the motion file format (tovlink/motion/motion.hpp).
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tovlink/motion/motion.hpp"

namespace tovlink::service {

struct motion_entry {
  std::string name;
  std::size_t keyframes = 0;
  long long duration_ms = 0;
  bool shipped = false;
};

// Where a motion was found.
struct stored_motion {
  tovlink::motion::Loaded loaded;
  bool shipped = false;
};

class motion_store {
 public:
  // Either folder may not exist (yet); `user_dir` is made when a motion is
  // first saved.
  motion_store(std::filesystem::path user_dir, std::filesystem::path shipped_dir);

  const std::filesystem::path &user_dir() const { return user_dir_; }
  const std::filesystem::path &shipped_dir() const { return shipped_dir_; }

  // Every readable motion, sorted by name.  Files that do not load are left
  // out (a list must not fail for one bad file).
  std::vector<motion_entry> list() const;
  // The motion named `name`, or nullopt when there is none.  Throws
  // motion::FormatError for a file that does not load.
  std::optional<stored_motion> find(const std::string &name) const;
  // Saves under the motion's own name, replacing the user's motion of that
  // name.  Throws FormatError, std::filesystem::filesystem_error, or
  // std::runtime_error when there is no user folder.
  void save(const tovlink::motion::Motion &motion) const;

  enum class removal { removed, shipped, unknown };
  // Deletes the user's motion `name`.  Throws filesystem_error.
  removal remove(const std::string &name) const;

 private:
  std::filesystem::path file_in(const std::filesystem::path &dir, const std::string &name) const;

  std::filesystem::path user_dir_;
  std::filesystem::path shipped_dir_;
  // Saves and deletes one at a time, so a delete never races a save of the
  // same name half-way.
  mutable std::mutex mutex_;
};

// The user's motions folder when none is given: the service's state
// directory (systemd's STATE_DIRECTORY) or /var/lib/tovlink/motions for
// root, else $XDG_DATA_HOME/tovlink/motions (~/.local/share/...).  Empty
// when there is no home to put it in: the shipped motions are served, and
// a save says to give --motions-dir.
std::filesystem::path default_motions_dir();

// The shipped motions' folder for a daemon whose program is `program`:
// PROGRAM_DIR/`relative` (share/tovlink/motions beside the install's sbin).
std::filesystem::path shipped_motions_dir(const std::filesystem::path &program,
                                          const std::filesystem::path &relative);

}  // namespace tovlink::service
