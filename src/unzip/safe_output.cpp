// Safe output of extracted members: path cleaning, link-proof folders and all-or-nothing files.
#include "unzip/safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace halyard::ziplib {
namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

bool IsDriveLetter(std::string_view part) {
  return part.size() >= 2 && part[1] == ':' &&
         ((part[0] >= 'A' && part[0] <= 'Z') || (part[0] >= 'a' && part[0] <= 'z'));
}

std::vector<std::string> SplitParts(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !IsSeparator(path[i])) continue;
    parts.emplace_back(path.substr(start, i - start));
    start = i + 1;
  }
  // "C:\x" and the drive-relative "C:x" both lose their drive.
  if (!parts.empty() && IsDriveLetter(parts.front())) parts.front().erase(0, 2);
  std::erase_if(parts, [](const std::string& part) { return part.empty() || part == "."; });
  return parts;
}

}  // namespace

std::optional<TargetPath> SafeTargetPath(std::string_view member_path, bool use_folder_names,
                                         bool space_to_underscore) {
  const bool is_folder = !member_path.empty() && IsSeparator(member_path.back());
  std::vector<std::string> parts = SplitParts(member_path);
  if (space_to_underscore) {
    for (auto& part : parts) std::replace(part.begin(), part.end(), ' ', '_');
  }
  TargetPath target;
  if (is_folder) {
    if (!use_folder_names) return target;
    target.folders = std::move(parts);
  } else {
    if (parts.empty()) return std::nullopt;
    target.name = std::move(parts.back());
    parts.pop_back();
    if (use_folder_names) target.folders = std::move(parts);
  }
  const auto climbs = [](const std::string& part) { return part == ".."; };
  if (climbs(target.name) || std::any_of(target.folders.begin(), target.folders.end(), climbs)) {
    return std::nullopt;
  }
  return target;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

int Destination::Open(const std::string& folder) {
  text_ = folder.empty() ? std::string(".") : folder;
  std::error_code ignored;  // opening below reports the real problem
  std::filesystem::create_directories(text_, ignored);
  root_ = UniqueFd(::open(text_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return root_.Valid() ? 0 : errno;
}

int Destination::Folder(const std::vector<std::string>& folders) {
  if (folders.empty()) return root_.Get();
  if (cached_.Valid() && folders == cached_parts_) return cached_.Get();
  cached_ = UniqueFd();
  UniqueFd current;
  for (const auto& part : folders) {
    const int parent = current.Valid() ? current.Get() : root_.Get();
    if (::mkdirat(parent, part.c_str(), 0777) != 0 && errno != EEXIST) return -1;
    // O_NOFOLLOW: a link in place of a folder is refused (ELOOP), never entered.
    const int fd = ::openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    current = UniqueFd(fd);
  }
  cached_parts_ = folders;
  cached_ = std::move(current);
  return cached_.Get();
}

std::string Destination::Display(const std::vector<std::string>& folders,
                                 const std::string& name) const {
  std::string text = text_;
  for (const auto& part : folders) {
    if (text.empty() || text.back() != '/') text += '/';
    text += part;
  }
  if (!name.empty()) {
    if (text.empty() || text.back() != '/') text += '/';
    text += name;
  }
  return text;
}

PendingFile::~PendingFile() {
  Discard();
}

int PendingFile::Create(int folder_fd) {
  folder_fd_ = folder_fd;
  // O_EXCL picks a free name; the previous member's temporary file is gone by now, so the
  // first try nearly always succeeds.
  // Fixed once per process; O_EXCL, not the process id, is what makes the name safe.
  static const std::string prefix = ".halyard-unzip-" + std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = prefix + std::to_string(attempt) + ".part";
    const int fd = ::openat(folder_fd, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      file_ = UniqueFd(fd);
      temporary_name_ = std::move(name);
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int PendingFile::Write(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(file_.Get(), data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

int PendingFile::Commit(const std::string& name, std::optional<mode_t> mode, std::time_t modified) {
  if (mode && ::fchmod(file_.Get(), *mode) != 0) return errno;
  const timespec times[2] = {{modified, 0}, {modified, 0}};
  if (::futimens(file_.Get(), times) != 0) return errno;
  // close reports late write errors (quota, network file systems).
  if (::close(file_.Release()) != 0) return errno;
  if (::renameat(folder_fd_, temporary_name_.c_str(), folder_fd_, name.c_str()) != 0) {
    return errno;
  }
  temporary_name_.clear();
  return 0;
}

void PendingFile::Discard() noexcept {
  file_ = UniqueFd();
  if (!temporary_name_.empty()) ::unlinkat(folder_fd_, temporary_name_.c_str(), 0);
  temporary_name_.clear();
}

void LineEndConverter::Convert(const char* data, std::size_t size, std::string& out) {
  for (std::size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '\r') {
      if (pending_cr_) out += "\r\n";
      pending_cr_ = true;
      continue;
    }
    if (c == '\n') {
      out += "\r\n";
      pending_cr_ = false;
      continue;
    }
    if (pending_cr_) out += "\r\n";
    pending_cr_ = false;
    out += c;
  }
}

void LineEndConverter::Finish(std::string& out) {
  if (pending_cr_) out += "\r\n";
  pending_cr_ = false;
}

}  // namespace halyard::ziplib
