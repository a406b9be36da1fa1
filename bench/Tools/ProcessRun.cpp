#include "ProcessRun.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace varen::bench {

namespace {

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

[[noreturn]] void becomeChild(const std::vector<std::string>& argv, std::optional<int> cpu,
                              int stdoutFd) {
    if (cpu) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(*cpu, &set);
        sched_setaffinity(0, sizeof set, &set);
    }
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(stdoutFd >= 0 ? stdoutFd : devNull, STDOUT_FILENO);
    ::dup2(devNull, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
}

}  // namespace

ProcessRun::ProcessRun(const std::vector<std::string>& argv, std::optional<int> cpu,
                       bool readStdout) {
    int pipeFds[2] = {-1, -1};
    if (readStdout && ::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    started_ = std::chrono::steady_clock::now();
    pid_ = ::fork();
    if (pid_ == 0) becomeChild(argv, cpu, pipeFds[1]);
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
    stdout_ = pipeFds[0];
}

ProcessRun::~ProcessRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
}

std::optional<std::string> ProcessRun::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (stdout_ >= 0) {
        if (const auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{stdout_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        char chunk[4096];
        const auto n = ::read(stdout_, chunk, sizeof chunk);
        if (n <= 0) break;
        pending_.append(chunk, static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

std::optional<ProcessCost> ProcessRun::finish(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    rusage usage{};
    // Polled: wait4 has no timeout, and the step is far below what is measured.
    while (::wait4(pid_, &status, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const auto ended = std::chrono::steady_clock::now();
    pid_ = -1;
    ProcessCost cost;
    cost.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    cost.wallSeconds = std::chrono::duration<double>(ended - started_).count();
    cost.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    cost.voluntarySwitches = usage.ru_nvcsw;
    return cost;
}

}  // namespace varen::bench
