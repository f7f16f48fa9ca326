// The one exception type of Halyard: a machine-readable number, the routine that raised it
// and a description that names the file, URL or value concerned.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace halyard {

class AppError : public std::exception {
 public:
  AppError(std::int32_t number, std::string source, std::string description)
      : number_(number), source_(std::move(source)), description_(std::move(description)) {}

  std::int32_t Number() const noexcept { return number_; }
  const std::string& Source() const noexcept { return source_; }
  const std::string& Description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::int32_t number_;
  std::string source_;
  std::string description_;
};

}  // namespace halyard
