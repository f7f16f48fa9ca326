// cInifile: reads and writes single values of an INI file ("[Section]" headers, key=value
// lines), lists keys and sections, and saves and restores a window's position.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halyard {

/// What SaveFormPosition and LoadFormPosition need of a window; sizes in twips.
class FormGeometry {
 public:
  virtual ~FormGeometry() = default;
  /// 0 normal, 1 minimised, 2 maximised.
  virtual int WindowState() const = 0;
  virtual void SetWindowState(int state) = 0;
  virtual double Left() const = 0;
  virtual double Top() const = 0;
  virtual double Width() const = 0;
  virtual double Height() const = 0;
  /// Moves and sizes the window in one operation.
  virtual void Move(double left, double top, double width, double height) = 0;
  virtual double ScreenWidth() const = 0;
  virtual double ScreenHeight() const = 0;
  virtual double TwipsPerPixelX() const = 0;
  virtual double TwipsPerPixelY() const = 0;
};

class cInifile {
 public:
  const std::string& Path() const { return path_; }
  void SetPath(std::string path) { path_ = std::move(path); }
  const std::string& Section() const { return section_; }
  void SetSection(std::string section) { section_ = std::move(section); }
  const std::string& Key() const { return key_; }
  void SetKey(std::string key) { key_ = std::move(key); }
  const std::string& Default() const { return default_; }
  void SetDefault(std::string fallback) { default_ = std::move(fallback); }
  std::int32_t LastReturnCode() const { return last_return_code_; }
  bool Success() const { return last_return_code_ != 0; }

  /// Key in Section of Path, at most 254 characters; Default when missing.
  std::string Value() const;
  /// Writes Key = value; NUL characters are removed from the caller's text too.
  void SetValue(std::string& value);
  void DeleteKey();
  void DeleteSection();
  /// The key names of Section, each followed by one NUL.
  std::string INISection() const;
  /// Removes Section (the text is not stored).
  void SetINISection(const std::string& text);
  /// The section names of the file, each followed by one NUL.
  std::string Sections() const;
  /// Names at 1..count; index 0 is unused and empty.
  void EnumerateCurrentSection(std::vector<std::string>& keys, std::int32_t& count) const;
  void EnumerateAllSections(std::vector<std::string>& sections, std::int32_t& count) const;

  void SaveFormPosition(FormGeometry& form);
  void LoadFormPosition(FormGeometry& form, std::int32_t min_width = 3000,
                        std::int32_t min_height = 3000);

  /// The number in text (nearest integer, halves to even), or fallback when it is none.
  static std::int32_t CLngDefault(const std::string& text, std::int32_t fallback = 0);

 private:
  std::string path_;
  std::string key_;
  std::string section_;
  std::string default_;
  std::int32_t last_return_code_ = 0;
};

}  // namespace halyard
