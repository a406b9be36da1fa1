#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "varenstt/Platform/Data.h"

namespace varen::test {

// A fresh folder under the system's temporary directory, removed with everything in it.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Points HOME (and the XDG folders) at a temporary folder for the life of the object, so that
// recordings never land in the real documents folder.
class TemporaryHome {
  public:
    TemporaryHome();
    ~TemporaryHome();
    const std::filesystem::path& path() const { return directory_.path(); }
    std::filesystem::path documents() const { return directory_.path() / "Documents"; }

  private:
    TemporaryDirectory directory_;
    std::optional<std::string> previousHome_;
    std::optional<std::string> previousConfig_;
};

// A child process with its standard output and error captured in files.
class ChildProcess {
  public:
    struct Options {
        std::map<std::string, std::string> environment;  // added to the parent's
        std::optional<std::filesystem::path> workingDirectory;
        bool pipeStdin = false;
    };

    ChildProcess(const std::vector<std::string>& argv, Options options);
    explicit ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, Options{}) {}
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status once the child has ended (128 + signal when killed), or none on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool isRunning();
    // The largest resident set the child ever had, once it has ended and been waited for.
    std::optional<long> peakResidentKiB() const { return peakResidentKiB_; }
    void terminate();
    void kill();
    // Writes to the child's standard input (Options::pipeStdin); `closeStdin` sends the end.
    void writeStdin(const std::string& text);
    void closeStdin();

    std::string standardOutput() const;
    std::string standardError() const;
    // Waits until a line of standard output (or error) satisfies the predicate; gives it.
    std::optional<std::string> waitForOutputLine(
        const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds timeout,
        bool fromStderr = false) const;

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::optional<long> peakResidentKiB_;
    int stdinFd_ = -1;
    TemporaryDirectory outputs_;
};

// Runs the main run loop until the predicate holds or the timeout passes.
bool runMainLoopUntil(const std::function<bool()>& predicate,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20));
void runMainLoopFor(std::chrono::milliseconds duration);
// Runs the main loop until every task queued on it before the call has run, and the tasks
// those queued in turn, `depth` rounds deep. Timers and other threads may still add more.
bool drainMainLoop(int depth = 2, std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string readTextFile(const std::filesystem::path& path);
Data readBinaryFile(const std::filesystem::path& path);
void writeTextFile(const std::filesystem::path& path, const std::string& text);

// Runs a command line through the shell and gives its exit status.
int runCommand(const std::string& commandLine);

// The Python that has the Debian packages (python3-websockets).
inline constexpr const char* kPython = "/usr/bin/python3";

}  // namespace varen::test
