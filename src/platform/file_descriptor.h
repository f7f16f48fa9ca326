// An owned POSIX file descriptor, closed when it goes out of scope. For the POSIX
// implementation files of every layer; interfaces do not hand descriptors around.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace halyard {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~FileDescriptor() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  FileDescriptor(FileDescriptor&& other) noexcept : descriptor_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      if (descriptor_ >= 0) ::close(descriptor_);
      descriptor_ = other.Release();
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return descriptor_; }
  bool IsOpen() const { return descriptor_ >= 0; }
  int Release() { return std::exchange(descriptor_, -1); }
  /// Closes now so that a late write error shows: 0, or the errno of the failed close.
  int Close() {
    if (descriptor_ < 0) return 0;
    return ::close(Release()) == 0 ? 0 : errno;
  }

 private:
  int descriptor_ = -1;
};

}  // namespace halyard
