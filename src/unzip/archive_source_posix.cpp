// A read-only libzip source over a file descriptor, with a read-ahead buffer.
#include "unzip/archive_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/file_descriptor.h"

namespace halyard::ziplib {
namespace {

constexpr std::size_t kReadAhead = 64 * 1024;

class FileSource {
 public:
  FileSource(FileDescriptor file, zip_uint64_t size, std::time_t modified)
      : file_(std::move(file)), size_(size), modified_(modified), cache_(kReadAhead) {
    zip_error_init(&error_);
  }
  ~FileSource() { zip_error_fini(&error_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  static zip_int64_t Callback(void* state, void* data, zip_uint64_t length,
                              zip_source_cmd_t command) {
    auto* source = static_cast<FileSource*>(state);
    if (command == ZIP_SOURCE_FREE) {
      std::unique_ptr<FileSource> owned(source);  // handed over in OpenArchive
      return 0;
    }
    return source->Handle(data, length, command);
  }

 private:
  zip_int64_t Handle(void* data, zip_uint64_t length, zip_source_cmd_t command);
  zip_int64_t Read(char* out, zip_uint64_t length);
  zip_int64_t Stat(void* data, zip_uint64_t length);
  zip_int64_t Fail(int zip_error, int system_error) {
    zip_error_set(&error_, zip_error, system_error);
    return -1;
  }

  FileDescriptor file_;
  zip_uint64_t size_;
  std::time_t modified_;
  zip_uint64_t position_ = 0;
  std::vector<char> cache_;
  zip_uint64_t cache_start_ = 0;
  zip_uint64_t cache_length_ = 0;
  zip_error_t error_;
};

zip_int64_t FileSource::Handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
  switch (command) {
    case ZIP_SOURCE_OPEN:
      position_ = 0;
      return 0;
    case ZIP_SOURCE_READ:
      return Read(static_cast<char*>(data), length);
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT:
      return Stat(data, length);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&error_, data, length);
    case ZIP_SOURCE_SEEK: {
      const zip_int64_t offset =
          zip_source_seek_compute_offset(position_, size_, data, length, &error_);
      if (offset < 0) return -1;
      position_ = static_cast<zip_uint64_t>(offset);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(position_);
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_SEEKABLE;
    default:
      return Fail(ZIP_ER_OPNOTSUPP, 0);
  }
}

zip_int64_t FileSource::Read(char* out, zip_uint64_t length) {
  // The archive's size was fixed at open; reads never go past it.
  length = std::min(length, size_ > position_ ? size_ - position_ : 0);
  zip_uint64_t done = 0;
  while (done < length) {
    if (position_ >= cache_start_ && position_ < cache_start_ + cache_length_) {
      const zip_uint64_t count = std::min(length - done, cache_start_ + cache_length_ - position_);
      std::memcpy(out + done, cache_.data() + (position_ - cache_start_), count);
      done += count;
      position_ += count;
      continue;
    }
    // Large reads go straight to the caller's buffer; small ones refill the cache.
    const bool direct = length - done >= cache_.size();
    char* target = direct ? out + done : cache_.data();
    const std::size_t wanted = direct ? length - done : cache_.size();
    const ssize_t got = ::pread(file_.Get(), target, wanted, static_cast<off_t>(position_));
    if (got < 0) {
      if (errno == EINTR) continue;
      return Fail(ZIP_ER_READ, errno);
    }
    if (got == 0) break;  // the file shrank
    if (direct) {
      done += static_cast<zip_uint64_t>(got);
      position_ += static_cast<zip_uint64_t>(got);
    } else {
      cache_start_ = position_;
      cache_length_ = static_cast<zip_uint64_t>(got);
    }
  }
  return static_cast<zip_int64_t>(done);
}

zip_int64_t FileSource::Stat(void* data, zip_uint64_t length) {
  auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
  if (stat == nullptr) return -1;
  zip_stat_init(stat);
  stat->size = size_;
  stat->mtime = modified_;
  stat->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
  return sizeof(zip_stat_t);
}

}  // namespace

zip_t* OpenArchive(const char* path, int flags, int& error_code) {
  FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (!file.IsOpen() || ::fstat(file.Get(), &status) != 0) {
    error_code = errno == ENOENT ? ZIP_ER_NOENT : ZIP_ER_OPEN;
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    error_code = ZIP_ER_NOZIP;
    return nullptr;
  }
  auto state = std::make_unique<FileSource>(
      std::move(file), static_cast<zip_uint64_t>(status.st_size), status.st_mtime);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(FileSource::Callback, state.get(), &error);
  if (source == nullptr) {
    error_code = zip_error_code_zip(&error);
    zip_error_fini(&error);
    return nullptr;
  }
  state.release();  // the source frees it with ZIP_SOURCE_FREE
  zip_t* archive = zip_open_from_source(source, flags, &error);
  if (archive == nullptr) {
    zip_source_free(source);
    error_code = zip_error_code_zip(&error);
  }
  zip_error_fini(&error);
  return archive;
}

}  // namespace halyard::ziplib
