#include "motion_store.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <system_error>

namespace tovlink::service {

namespace fs = std::filesystem;
namespace motion = tovlink::motion;

namespace {

constexpr const char *extension = ".json";
// A folder with more files than this is not read past it: a listing stays
// bounded whatever lands in the folder.
constexpr std::size_t max_listed_files = 1000;

std::string env(const char *name) {
  const char *value = std::getenv(name);
  return value == nullptr ? std::string{} : std::string{value};
}

// The motions in `dir` by name (the file's stem); a missing folder has none.
void read_folder(const fs::path &dir, bool shipped, std::map<std::string, motion_entry> &found) {
  if (dir.empty()) return;
  std::error_code error;
  fs::directory_iterator it{dir, error};
  if (error) return;
  std::size_t seen = 0;
  for (; it != fs::directory_iterator{} && seen < max_listed_files; it.increment(error)) {
    if (error) break;
    ++seen;
    const fs::path &file = it->path();
    const std::string name = file.stem().string();
    if (file.extension() != extension || !motion::name_refusal(name).empty()) continue;
    if (!it->is_regular_file(error)) continue;
    try {
      const auto loaded = motion::load_motion(file);
      found[name] = {name, loaded.motion.keyframes.size(),
                     static_cast<long long>(loaded.motion.duration().count()), shipped};
    } catch (const motion::FormatError &) {
      // Left out: `get` on it says what is wrong.
    }
  }
}

}  // namespace

motion_store::motion_store(fs::path user_dir, fs::path shipped_dir)
    : user_dir_(std::move(user_dir)), shipped_dir_(std::move(shipped_dir)) {}

fs::path motion_store::file_in(const fs::path &dir, const std::string &name) const {
  return dir / (name + extension);
}

std::vector<motion_entry> motion_store::list() const {
  std::map<std::string, motion_entry> found;
  read_folder(shipped_dir_, true, found);
  read_folder(user_dir_, false, found);  // shadows a shipped motion of the same name
  std::vector<motion_entry> entries;
  entries.reserve(found.size());
  for (auto &[name, entry] : found) entries.push_back(std::move(entry));
  return entries;
}

std::optional<stored_motion> motion_store::find(const std::string &name) const {
  if (!motion::name_refusal(name).empty()) return std::nullopt;
  for (const bool shipped : {false, true}) {
    if ((shipped ? shipped_dir_ : user_dir_).empty()) continue;
    const fs::path file = file_in(shipped ? shipped_dir_ : user_dir_, name);
    std::error_code error;
    if (!fs::is_regular_file(file, error)) continue;
    stored_motion found{motion::load_motion(file), shipped};
    // The file's name is how clients reach it, whatever its "name" says.
    found.loaded.motion.name = name;
    return found;
  }
  return std::nullopt;
}

void motion_store::save(const motion::Motion &motion) const {
  if (const auto refusal = motion::name_refusal(motion.name); !refusal.empty()) {
    throw motion::FormatError("name", std::nullopt, "name", refusal);
  }
  if (user_dir_.empty()) {
    throw std::runtime_error(
        "no motions folder (neither XDG_DATA_HOME nor HOME is set): give one with --motions-dir");
  }
  std::lock_guard lock(mutex_);
  if (!fs::exists(user_dir_)) {
    fs::create_directories(user_dir_);
    fs::permissions(user_dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                    fs::perm_options::replace);
  }
  motion::save_motion(motion, file_in(user_dir_, motion.name));
}

motion_store::removal motion_store::remove(const std::string &name) const {
  if (!motion::name_refusal(name).empty()) return removal::unknown;
  std::lock_guard lock(mutex_);
  if (!user_dir_.empty() && fs::remove(file_in(user_dir_, name))) return removal::removed;
  std::error_code error;
  if (fs::is_regular_file(file_in(shipped_dir_, name), error)) return removal::shipped;
  return removal::unknown;
}

fs::path default_motions_dir() {
  if (const std::string state = env("STATE_DIRECTORY"); !state.empty()) {
    // systemd may name several state directories, ':' between them.
    return fs::path{state.substr(0, state.find(':'))} / "motions";
  }
  if (::geteuid() == 0) return "/var/lib/tovlink/motions";
  if (const std::string data = env("XDG_DATA_HOME"); !data.empty() && data.front() == '/') {
    return fs::path{data} / "tovlink" / "motions";
  }
  if (const std::string home = env("HOME"); !home.empty()) {
    return fs::path{home} / ".local" / "share" / "tovlink" / "motions";
  }
  return {};
}

fs::path shipped_motions_dir(const fs::path &program, const fs::path &relative) {
  return (program.parent_path() / relative).lexically_normal();
}

}  // namespace tovlink::service
