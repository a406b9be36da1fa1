#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace varen::bench {

// What a finished process cost: its own CPU time and voluntary context switches (from wait4),
// and the wall time from its start to its end.
struct ProcessCost {
    int exitStatus = -1;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long voluntarySwitches = 0;
};

// A child process, optionally pinned to one CPU, whose stdout is a pipe (or /dev/null) and whose
// stderr is discarded. Every wait has a deadline; a child still running at destruction is
// killed.
class ProcessRun {
  public:
    ProcessRun(const std::vector<std::string>& argv, std::optional<int> cpu, bool readStdout);
    ~ProcessRun();
    ProcessRun(const ProcessRun&) = delete;
    ProcessRun& operator=(const ProcessRun&) = delete;

    // The next line of stdout, or nothing when the deadline passed or the output ended.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // The cost once it exited; nothing (and the child killed) when the deadline passed.
    std::optional<ProcessCost> finish(std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string pending_;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace varen::bench
