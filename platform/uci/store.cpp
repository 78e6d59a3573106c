#include "store.h"

#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "delta.h"
#include "parser.h"
#include "writer.h"

namespace ucihost {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

bool Lock(int fd, int operation) { return flock(fd, operation) == 0 || errno == ENOSYS; }

bool ReadAll(int fd, std::string* out) {
  out->clear();
  if (lseek(fd, 0, SEEK_SET) < 0) return false;
  char chunk[8192];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(chunk, static_cast<size_t>(n));
  }
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

// Parses the config text and replays the staged changes of `delta_text` on
// it; returns how many changes applied.
int ApplyStaged(const std::string& name, const std::string& delta_text, Package& package,
                std::vector<Delta>* staged) {
  int applied = 0;
  for (const auto& line : ParseDeltaText(delta_text)) {
    if (line.package != name) continue;
    if (staged) staged->push_back(line.delta);
    if (ApplyDelta(package, line.delta)) ++applied;
  }
  return applied;
}

}  // namespace

Store::Store(std::string config_dir, std::string delta_dir)
    : config_dir_(std::move(config_dir)), delta_dir_(std::move(delta_dir)) {}

StoreStatus Store::Load(const std::string& name, Loaded* loaded, std::string* error) const {
  if (!IsPackageName(name)) return StoreStatus::invalid;
  const std::string path = ConfigPath(name);
  if (!IsRegularFile(path)) return StoreStatus::not_found;

  std::string text;
  {
    Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.ok() || !Lock(file.get(), LOCK_SH) || !ReadAll(file.get(), &text)) {
      if (error) *error = SystemError("cannot read", path);
      return StoreStatus::io_error;
    }
  }
  auto package = std::make_unique<Package>(name);
  ParseError parse_error;
  if (!ParseConfig(text, *package, &parse_error)) {
    if (error) *error = path + ": " + parse_error.Describe();
    return StoreStatus::parse_error;
  }

  // A staging file that cannot be read counts as holding no changes.
  std::string delta_text;
  {
    Fd delta(open(DeltaPath(name).c_str(), O_RDONLY | O_CLOEXEC));
    if (delta.ok() && Lock(delta.get(), LOCK_SH) && !ReadAll(delta.get(), &delta_text)) delta_text.clear();
  }
  std::vector<Delta> staged;
  ApplyStaged(name, delta_text, *package, &staged);

  loaded->package = std::move(package);
  loaded->staged = std::move(staged);
  return StoreStatus::ok;
}

StoreStatus Store::Stage(const std::string& name, const std::vector<Delta>& deltas, std::string* error) const {
  if (deltas.empty()) return StoreStatus::ok;
  struct stat st {};
  if (stat(delta_dir_.c_str(), &st) != 0) {
    struct stat config_st {};
    const mode_t mode = stat(config_dir_.c_str(), &config_st) == 0 ? (config_st.st_mode & 07777) : 0700;
    if (mkdir(delta_dir_.c_str(), mode) != 0 && errno != EEXIST) {
      if (error) *error = SystemError("cannot create", delta_dir_);
      return StoreStatus::io_error;
    }
  } else if (!S_ISDIR(st.st_mode)) {
    if (error) *error = delta_dir_ + ": not a directory";
    return StoreStatus::io_error;
  }

  struct stat config_st {};
  const mode_t mode = stat(ConfigPath(name).c_str(), &config_st) == 0 ? (config_st.st_mode & 07777) : 0600;
  const std::string path = DeltaPath(name);
  std::string text;
  for (const auto& delta : deltas) text += FormatDelta(name, delta);

  Fd file(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode));
  if (!file.ok() || !Lock(file.get(), LOCK_EX) || !WriteAll(file.get(), text)) {
    if (error) *error = SystemError("cannot write", path);
    return StoreStatus::io_error;
  }
  return StoreStatus::ok;
}

StoreStatus Store::Commit(const std::string& name, std::string* error) const {
  if (!IsPackageName(name)) return StoreStatus::invalid;
  const std::string path = ConfigPath(name);
  if (!IsRegularFile(path)) return StoreStatus::not_found;

  // The config file stays locked until the new one is in place.
  Fd config(open(path.c_str(), O_RDWR | O_CLOEXEC));
  std::string text;
  if (!config.ok() || !Lock(config.get(), LOCK_EX) || !ReadAll(config.get(), &text)) {
    if (error) *error = SystemError("cannot read", path);
    return StoreStatus::io_error;
  }
  Package package(name);
  ParseError parse_error;
  if (!ParseConfig(text, package, &parse_error)) {
    if (error) *error = path + ": " + parse_error.Describe();
    return StoreStatus::parse_error;
  }

  const std::string delta_path = DeltaPath(name);
  Fd delta(open(delta_path.c_str(), O_RDWR | O_CLOEXEC));
  if (!delta.ok()) {
    if (errno == ENOENT) return StoreStatus::ok;
    if (error) *error = SystemError("cannot open", delta_path);
    return StoreStatus::io_error;
  }
  std::string delta_text;
  if (!Lock(delta.get(), LOCK_EX) || !ReadAll(delta.get(), &delta_text)) {
    if (error) *error = SystemError("cannot read", delta_path);
    return StoreStatus::io_error;
  }
  if (ApplyStaged(name, delta_text, package, nullptr) == 0) return StoreStatus::ok;

  std::string temp = config_dir_ + "/." + name + ".uci-XXXXXX";
  const int temp_fd = mkstemp(&temp[0]);
  if (temp_fd < 0) {
    if (error) *error = SystemError("cannot create", temp);
    return StoreStatus::io_error;
  }
  {
    Fd out(temp_fd);
    if (!WriteAll(out.get(), ExportConfig(package)) || fsync(out.get()) != 0) {
      if (error) *error = SystemError("cannot write", temp);
      unlink(temp.c_str());
      return StoreStatus::io_error;
    }
  }

  char* real = realpath(path.c_str(), nullptr);
  struct stat st {};
  const bool replaced = real && stat(real, &st) == 0 && chmod(temp.c_str(), st.st_mode & 07777) == 0 &&
                        rename(temp.c_str(), real) == 0;
  if (!replaced) {
    if (error) *error = SystemError("cannot replace", path);
    unlink(temp.c_str());
    free(real);
    return StoreStatus::io_error;
  }
  // Make the rename itself durable before the staged changes are dropped.
  {
    std::string directory(real);
    Fd dir(open(dirname(&directory[0]), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.ok()) fsync(dir.get());
  }
  free(real);

  if (ftruncate(delta.get(), 0) != 0) {
    if (error) *error = SystemError("cannot empty", delta_path);
    return StoreStatus::io_error;
  }
  return StoreStatus::ok;
}

StoreStatus Store::Revert(const std::string& name, std::string* error) const {
  Loaded loaded;
  const StoreStatus status = Load(name, &loaded, error);
  if (status != StoreStatus::ok) return status;

  const std::string delta_path = DeltaPath(name);
  Fd delta(open(delta_path.c_str(), O_RDWR | O_CLOEXEC));
  if (!delta.ok()) {
    if (errno == ENOENT) return StoreStatus::ok;
    if (error) *error = SystemError("cannot open", delta_path);
    return StoreStatus::io_error;
  }
  if (!Lock(delta.get(), LOCK_EX) || ftruncate(delta.get(), 0) != 0) {
    if (error) *error = SystemError("cannot empty", delta_path);
    return StoreStatus::io_error;
  }
  return StoreStatus::ok;
}

std::optional<std::vector<std::string>> Store::ListConfigs() const {
  DIR* dir = opendir(config_dir_.c_str());
  if (!dir) return std::nullopt;
  std::vector<std::string> names;
  bool any_entry = false;
  while (const dirent* entry = readdir(dir)) {
    const std::string entry_name = entry->d_name;
    if (entry_name.empty() || entry_name[0] == '.') continue;
    any_entry = true;
    if (IsPackageName(entry_name) && IsRegularFile(ConfigPath(entry_name))) names.push_back(entry_name);
  }
  closedir(dir);
  if (!any_entry) return std::nullopt;
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ucihost
