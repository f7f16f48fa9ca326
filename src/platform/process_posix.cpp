// Program start on POSIX: posix_spawnp in a new session, standard input from /dev/null, every
// descriptor above standard error closed.
#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

extern char** environ;

namespace halyard {
namespace {

class SpawnAttributes {
 public:
  explicit SpawnAttributes(const std::string& working_folder) {
    posix_spawnattr_init(&attributes_);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_init(&actions_);
    posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    // A descriptor we hold (a lock, a display connection) must not live on in a program
    // that outlives us.
    posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
    if (!working_folder.empty()) {
      posix_spawn_file_actions_addchdir_np(&actions_, working_folder.c_str());
    }
  }
  ~SpawnAttributes() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  const posix_spawnattr_t* Attributes() const { return &attributes_; }
  const posix_spawn_file_actions_t* Actions() const { return &actions_; }

 private:
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
};

// glibc's posix_spawnp reports a failed exec through its result, so a missing program is
// known here and not only as an exit status 127 later.
std::optional<pid_t> Spawn(const std::vector<std::string>& arguments,
                           const std::string& working_folder = {}, int* error = nullptr) {
  if (arguments.empty() || arguments.front().empty()) {
    if (error != nullptr) *error = EINVAL;
    return std::nullopt;
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  SpawnAttributes spawn(working_folder);
  pid_t process_id = -1;
  const int result =
      posix_spawnp(&process_id, argv[0], spawn.Actions(), spawn.Attributes(), argv.data(), environ);
  if (result != 0) {
    if (error != nullptr) *error = result;
    return std::nullopt;
  }
  return process_id;
}

// Where execvp would have found a program named without a folder: the first executable file
// of that name along PATH.
std::string FindOnPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  const std::string_view folders = path != nullptr ? path : "/bin:/usr/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    std::size_t end = folders.find(':', start);
    if (end == std::string_view::npos) end = folders.size();
    std::string candidate(folders.substr(start, end - start));
    candidate = (candidate.empty() ? "." : candidate) + "/" + name;
    struct stat status {};
    if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return name;
}

// posix_spawnp leaves out execvp's last resort: a file without a header the system knows
// (a shell script without "#!") is handed to the shell.
std::optional<pid_t> SpawnProgram(const std::vector<std::string>& arguments, int* error) {
  int first_error = 0;
  if (auto process_id = Spawn(arguments, {}, &first_error)) return process_id;
  if (first_error == ENOEXEC) {
    std::vector<std::string> with_shell{"/bin/sh", FindOnPath(arguments.front())};
    with_shell.insert(with_shell.end(), arguments.begin() + 1, arguments.end());
    if (auto process_id = Spawn(with_shell, {}, &first_error)) return process_id;
  }
  *error = first_error;
  return std::nullopt;
}

bool IsPlainWordCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_-./:=@%+,").find(c) != std::string_view::npos;
}

std::string QuoteWord(const std::string& word) {
  if (!word.empty() && std::all_of(word.begin(), word.end(), IsPlainWordCharacter)) return word;
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

std::string JoinShellQuoted(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) {
    if (!text.empty()) text += ' ';
    text += QuoteWord(argument);
  }
  return text;
}

std::optional<std::vector<std::string>> SplitShellWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(std::exchange(word, {}));
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      if (++i == text.size()) return std::nullopt;
      if (text[i] != '\n') word += text[i];
    } else if (c == '\'') {
      const std::size_t end = text.find('\'', i + 1);
      if (end == std::string::npos) return std::nullopt;
      word += text.substr(i + 1, end - i - 1);
      i = end;
    } else if (c == '"') {
      // Inside double quotes a backslash quotes only $ ` " \ and a line end.
      for (++i;; ++i) {
        if (i == text.size()) return std::nullopt;
        if (text[i] == '"') break;
        if (text[i] == '\\' && i + 1 < text.size() &&
            std::string_view("$`\"\\\n").find(text[i + 1]) != std::string_view::npos) {
          ++i;
          if (text[i] == '\n') continue;
        }
        word += text[i];
      }
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

bool StartDetached(const std::vector<std::string>& arguments) {
  return Spawn(arguments).has_value();
}

std::string StartDetachedIn(const std::vector<std::string>& arguments,
                            const std::string& working_folder) {
  int error = 0;
  if (Spawn(arguments, working_folder, &error)) return {};
  return std::strerror(error);
}

std::optional<ChildProcess> ChildProcess::Start(const std::vector<std::string>& arguments,
                                                std::string* reason) {
  int error = 0;
  auto process_id = SpawnProgram(arguments, &error);
  if (process_id) return ChildProcess(*process_id);
  if (reason != nullptr) *reason = std::strerror(error);
  return std::nullopt;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_id_(std::exchange(other.process_id_, -1)),
      ended_(other.ended_),
      wait_status_(other.wait_status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  process_id_ = std::exchange(other.process_id_, -1);
  ended_ = other.ended_;
  wait_status_ = other.wait_status_;
  return *this;
}

ChildProcess::~ChildProcess() = default;

bool ChildProcess::IsRunning() {
  if (ended_ || process_id_ <= 0) return false;
  int status = 0;
  const pid_t result = waitpid(process_id_, &status, WNOHANG);
  if (result == 0) return true;
  if (result < 0 && errno == EINTR) return true;
  ended_ = true;
  wait_status_ = result == process_id_ ? status : -1;
  return false;
}

std::string ChildProcess::EndDescription() const {
  if (!ended_) return "still running";
  if (wait_status_ != -1 && WIFEXITED(wait_status_)) {
    return "exit code " + std::to_string(WEXITSTATUS(wait_status_));
  }
  if (wait_status_ != -1 && WIFSIGNALED(wait_status_)) {
    const int signal = WTERMSIG(wait_status_);
    return "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  }
  return "an unknown end";
}

}  // namespace halyard
