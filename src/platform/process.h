// Starting programs: detached for good, or as a child to wait for. Command texts are split
// like shell words but no shell runs and nothing is expanded. A started program inherits
// standard input (from /dev/null), output and error, and no other descriptor of ours.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace halyard {

/// Joins arguments with shell quoting so that SplitShellWords gives them back unchanged.
std::string JoinShellQuoted(const std::vector<std::string>& arguments);

/// Splits a command text into words as a POSIX shell would (blanks separate words; single
/// quotes, double quotes and backslashes quote), without expanding anything. An unbalanced
/// quote yields std::nullopt.
std::optional<std::vector<std::string>> SplitShellWords(const std::string& text);

/// Starts a program in its own session so that it outlives this process; the program is
/// looked up on PATH when its name has no "/". It inherits standard output and error, standard
/// input from the null device, and no other open file. Returns false when it could not be
/// started.
bool StartDetached(const std::vector<std::string>& arguments);
/// Starts a program as StartDetached does, in working_folder. Returns "" when it started,
/// otherwise the system's reason ("No such file or directory").
std::string StartDetachedIn(const std::vector<std::string>& arguments,
                            const std::string& working_folder);

/// A started child program that can be polled for its end. Destroying the object neither
/// stops nor waits for the program.
class ChildProcess {
 public:
  /// Starts the program in its own session, with the open files StartDetached hands on. A file
  /// that the system cannot start for want of a recognised header (a script without "#!") is
  /// run by /bin/sh, as execvp does. std::nullopt when it could not be started; reason, when
  /// given, then receives the system's reason ("Permission denied").
  static std::optional<ChildProcess> Start(const std::vector<std::string>& arguments,
                                           std::string* reason = nullptr);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  /// Polls without blocking; false once the program has ended (and has been reaped).
  bool IsRunning();
  int ProcessId() const { return process_id_; }
  /// How the program ended, once IsRunning has returned false: "exit code 3" or
  /// "signal 9 (Killed)".
  std::string EndDescription() const;

 private:
  explicit ChildProcess(int process_id) : process_id_(process_id) {}
  int process_id_ = -1;
  bool ended_ = false;
  int wait_status_ = 0;
};

}  // namespace halyard
