// Path cleaning, the destination folder chain and line-end conversion for extracted members;
// the same on every platform.
#include "unzip/safe_output.h"

#include <algorithm>
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

void Destination::Open(const std::string& folder) {
  text_ = folder.empty() ? std::string(".") : folder;
  std::error_code ignored;  // opening below reports the real problem
  std::filesystem::create_directories(text_, ignored);
  root_ = Folder::Open(text_);
}

const Folder& Destination::FolderFor(const std::vector<std::string>& folders) {
  if (folders.empty()) return root_;
  if (cached_.IsOpen() && folders == cached_parts_) return cached_;
  cached_ = Folder();
  Folder current;
  for (const auto& part : folders) {
    current = (current.IsOpen() ? current : root_).OpenSubfolder(part, true);
  }
  cached_parts_ = folders;
  cached_ = std::move(current);
  return cached_;
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

}  // namespace halyard::ziplib
