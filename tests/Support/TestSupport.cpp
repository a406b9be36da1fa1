#include "Support/TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/RunLoop.h"

namespace varen::test {

namespace fs = std::filesystem;

TemporaryDirectory::TemporaryDirectory() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = fs::temp_directory_path() / ("varenstt-test-" + std::to_string(getpid()) +
                                                      "-" + std::to_string(random()));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code error;
    fs::remove_all(path_, error);
}

namespace {

std::optional<std::string> currentEnv(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

void restoreEnv(const char* name, const std::optional<std::string>& value) {
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

}  // namespace

TemporaryHome::TemporaryHome()
    : previousHome_(currentEnv("HOME")), previousConfig_(currentEnv("XDG_CONFIG_HOME")) {
    setenv("HOME", directory_.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (directory_.path() / ".config").c_str(), 1);
}

TemporaryHome::~TemporaryHome() {
    restoreEnv("HOME", previousHome_);
    restoreEnv("XDG_CONFIG_HOME", previousConfig_);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Options options) {
    int stdinPipe[2] = {-1, -1};
    if (options.pipeStdin && pipe(stdinPipe) != 0) throw std::runtime_error("pipe failed");
    const auto outPath = outputs_.path() / "stdout";
    const auto errPath = outputs_.path() / "stderr";
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (options.pipeStdin) {
            dup2(stdinPipe[0], STDIN_FILENO);
            close(stdinPipe[0]);
            close(stdinPipe[1]);
        } else {
            int devNull = open("/dev/null", O_RDONLY);
            dup2(devNull, STDIN_FILENO);
        }
        for (const auto& [name, value] : options.environment)
            setenv(name.c_str(), value.c_str(), 1);
        if (options.workingDirectory && chdir(options.workingDirectory->c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (options.pipeStdin) {
        close(stdinPipe[0]);
        stdinFd_ = stdinPipe[1];
    }
}

ChildProcess::~ChildProcess() {
    closeStdin();
    if (isRunning()) {
        kill();
        wait(std::chrono::seconds(5));
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        rusage usage{};
        const pid_t done = wait4(pid_, &status, WNOHANG, &usage);
        if (done == pid_) {
            peakResidentKiB_ = usage.ru_maxrss;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool ChildProcess::isRunning() {
    if (status_ || pid_ <= 0) return false;
    return !wait(std::chrono::milliseconds(0)).has_value();
}

void ChildProcess::terminate() {
    if (isRunning()) ::kill(-pid_, SIGTERM);
}

void ChildProcess::kill() {
    if (isRunning()) ::kill(-pid_, SIGKILL);
}

void ChildProcess::writeStdin(const std::string& text) {
    if (stdinFd_ < 0) return;
    std::size_t written = 0;
    while (written < text.size()) {
        const auto n = ::write(stdinFd_, text.data() + written, text.size() - written);
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

void ChildProcess::closeStdin() {
    if (stdinFd_ >= 0) {
        close(stdinFd_);
        stdinFd_ = -1;
    }
}

std::string ChildProcess::standardOutput() const {
    return readTextFile(outputs_.path() / "stdout");
}
std::string ChildProcess::standardError() const {
    return readTextFile(outputs_.path() / "stderr");
}

std::optional<std::string> ChildProcess::waitForOutputLine(
    const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds timeout,
    bool fromStderr) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        const auto text = fromStderr ? standardError() : standardOutput();
        // Only whole lines: the child may be halfway through writing the last one.
        std::istringstream lines(text.substr(0, text.rfind('\n') + 1));
        std::string line;
        while (std::getline(lines, line)) {
            if (matches(line)) return line;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

bool runMainLoopUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    return platform::RunLoop::main()->runUntil(predicate, timeout);
}

void runMainLoopFor(std::chrono::milliseconds duration) {
    platform::RunLoop::main()->runFor(duration);
}

bool drainMainLoop(int depth, std::chrono::milliseconds timeout) {
    for (int round = 0; round < depth; ++round) {
        // The main queue runs in order: the marker runs after whatever was queued before it.
        auto reached = std::make_shared<bool>(false);
        platform::DispatchQueue::main()->async([reached] { *reached = true; });
        if (!runMainLoopUntil([&] { return *reached; }, timeout)) return false;
    }
    return true;
}

std::string readTextFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

Data readBinaryFile(const fs::path& path) {
    const std::string text = readTextFile(path);
    return Data(text.begin(), text.end());
}

void writeTextFile(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

int runCommand(const std::string& commandLine) {
    const int status = std::system(commandLine.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

}  // namespace varen::test
