#include "Support/AudioTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <thread>

namespace varen::test {

namespace {

void putLittleEndian(std::ofstream& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(char((value >> (8 * i)) & 0xff));
}

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace

std::vector<std::int16_t> squareWave(std::size_t samples, std::int16_t amplitude,
                                     std::size_t period) {
    std::vector<std::int16_t> wave(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        wave[i] = (i % period) < period / 2 ? amplitude : std::int16_t(-amplitude);
    }
    return wave;
}

std::vector<std::int16_t> sineWave(std::size_t samples, double amplitude, double frequency,
                                   double sampleRate) {
    std::vector<std::int16_t> wave(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        wave[i] = std::int16_t(
            std::lround(amplitude * 32767.0 *
                        std::sin(2 * std::numbers::pi * frequency * double(i) / sampleRate)));
    }
    return wave;
}

void writeWavFile(const std::filesystem::path& path, const std::vector<std::int16_t>& samples,
                  std::uint32_t sampleRate, std::uint16_t channels) {
    std::ofstream out(path, std::ios::binary);
    const std::uint32_t dataBytes = std::uint32_t(samples.size() * 2);
    out.write("RIFF", 4);
    putLittleEndian(out, 36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    putLittleEndian(out, 16, 4);
    putLittleEndian(out, 1, 2);  // PCM
    putLittleEndian(out, channels, 2);
    putLittleEndian(out, sampleRate, 4);
    putLittleEndian(out, sampleRate * channels * 2, 4);
    putLittleEndian(out, channels * 2u, 2);
    putLittleEndian(out, 16, 2);
    out.write("data", 4);
    putLittleEndian(out, dataBytes, 4);
    for (std::int16_t sample : samples) putLittleEndian(out, std::uint16_t(sample), 2);
}

bool synthesizeSpeech(const std::string& text, const std::filesystem::path& path) {
    return runCommand("flite -voice slt -t " + shellQuoted(text) + " -o " +
                      shellQuoted(path.string()) + " >/dev/null 2>&1") == 0 &&
           std::filesystem::exists(path);
}

std::unique_ptr<AudioPulseServer> AudioPulseServer::start(const std::string& sinkName,
                                                          std::string* whyNot) {
    std::unique_ptr<AudioPulseServer> server(new AudioPulseServer);
    server->sinkName_ = sinkName;
    const std::string dir = server->directory_.path().string();
    const std::string log = (server->directory_.path() / "pulseaudio.log").string();
    const std::string sink = "--load=module-null-sink sink_name=" + sinkName;
    const pid_t parent = ::getpid();
    // Our own child rather than a daemon, so that it dies with a test that aborts.
    server->pid_ = ::fork();
    if (server->pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        ::setenv("HOME", dir.c_str(), 1);
        ::unsetenv("PULSE_SERVER");
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execlp("pulseaudio", "pulseaudio", "--daemonize=no", "--exit-idle-time=-1",
                 "--system=false", "-n", sink.c_str(), "--load=module-native-protocol-unix",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::string socket = (server->directory_.path() / "pulse" / "native").string();
    int status = 0;
    for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i) {
        if (::waitpid(server->pid_, &status, WNOHANG) == server->pid_) {
            server->pid_ = -1;
            if (whyNot) *whyNot = "pulseaudio did not start: " + readTextFile(log);
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string prefix = server->environmentPrefix();
    if (runCommand(prefix + "pactl set-default-sink " + sinkName + " >/dev/null 2>&1") != 0 ||
        runCommand(prefix + "pactl set-default-source " + sinkName + ".monitor >/dev/null 2>&1") !=
            0) {
        if (whyNot) *whyNot = "pactl could not configure the server";
        return nullptr;  // the destructor stops it
    }
    if (const char* previous = std::getenv("PULSE_SERVER")) server->previousServer_ = previous;
    ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    return server;
}

std::string AudioPulseServer::environmentPrefix() const {
    const std::string dir = shellQuoted(directory_.path().string());
    return "env -u PULSE_SERVER XDG_RUNTIME_DIR=" + dir + " HOME=" + dir + " ";
}

std::unique_ptr<ChildProcess> AudioPulseServer::play(const std::filesystem::path& file) const {
    ChildProcess::Options options;
    options.environment = {
        {"XDG_RUNTIME_DIR", directory_.path().string()},
        {"HOME", directory_.path().string()},
        {"PULSE_SERVER", "unix:" + (directory_.path() / "pulse" / "native").string()}};
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"paplay", "--device=" + sinkName_, file.string()}, options);
}

AudioPulseServer::~AudioPulseServer() {
    if (previousServer_) {
        ::setenv("PULSE_SERVER", previousServer_->c_str(), 1);
    } else {
        ::unsetenv("PULSE_SERVER");
    }
    if (pid_ <= 0) return;
    runCommand(environmentPrefix() + "pactl exit >/dev/null 2>&1");
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

}  // namespace varen::test
