#include "Support/EndToEndSupport.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace varen::test {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

// A command's standard output, trailing newline removed.
std::string commandOutput(const std::string& commandLine) {
    std::string output;
    if (FILE* pipe = ::popen(commandLine.c_str(), "r")) {
        char buffer[256];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        ::pclose(pipe);
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    return output;
}

}  // namespace

EndToEndServer::EndToEndServer(const fs::path& binary, std::vector<std::string> arguments) {
    std::vector<std::string> argv{binary.string(), "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<ChildProcess>(argv);
    static const std::regex listening(R"(^listening on 127\.0\.0\.1:(\d+)$)");
    auto line = process_->waitForOutputLine(
        [](const std::string& l) { return std::regex_match(l, listening); },
        std::chrono::seconds(60), true);
    if (!line) {
        process_->kill();
        throw std::runtime_error("varen-stt-server did not start: " + process_->standardError());
    }
    std::smatch match;
    std::regex_match(*line, match, listening);
    port_ = static_cast<std::uint16_t>(std::stoi(match[1].str()));
}

EndToEndServer::~EndToEndServer() {
    process_->terminate();
    if (!process_->wait(std::chrono::seconds(10))) process_->kill();
}

std::string EndToEndServer::decoderUrl() const {
    return "ws://127.0.0.1:" + std::to_string(port_) + "/ws/client/speech";
}

std::optional<std::string> EndToEndServer::waitForLog(const std::string& text,
                                                      std::chrono::milliseconds timeout) const {
    return process_->waitForOutputLine(
        [&](const std::string& line) { return line.find(text) != std::string::npos; }, timeout,
        true);
}

double EndToEndServer::cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(process_->pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are plain numbers.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0.0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0.0;
    // Fields 3 to 15 of the file: utime is the 14th, stime the 15th.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14 || index == 15) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string digitWords(const std::string& digits) {
    static const char* const words[] = {"zero", "one", "two",   "three", "four",
                                        "five", "six", "seven", "eight", "nine"};
    std::string text;
    for (char c : digits) {
        if (c < '0' || c > '9') continue;
        if (!text.empty()) text += ' ';
        text += words[c - '0'];
    }
    return text;
}

fs::path speak(const fs::path& folder, const std::string& name, const std::string& text,
               const std::string& voice, double trailingSilence, double leadingSilence) {
    const bool padded = trailingSilence > 0 || leadingSilence > 0;
    const fs::path spoken = folder / (name + (padded ? ".speech.wav" : ".wav"));
    if (runCommand("flite -voice " + quoted(voice) + " -t " + quoted(text) + " -o " +
                   quoted(spoken.string())) != 0) {
        throw std::runtime_error("flite failed for '" + text + "'");
    }
    if (!padded) return spoken;
    const fs::path result = folder / (name + ".wav");
    std::ostringstream pad;
    pad.imbue(std::locale::classic());
    pad << "sox -D " << quoted(spoken.string()) << " " << quoted(result.string()) << " pad "
        << leadingSilence << " " << trailingSilence;
    if (runCommand(pad.str()) != 0) throw std::runtime_error("sox failed");
    return result;
}

double audioSeconds(const fs::path& file) {
    const std::string text = commandOutput("soxi -D " + quoted(file.string()) + " 2>/dev/null");
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    double seconds = 0.0;
    stream >> seconds;
    return seconds;
}

ToolRun::ToolRun(const fs::path& tool, const fs::path& home, std::vector<std::string> arguments) {
    std::vector<std::string> argv{tool.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess::Options options;
    options.environment = {{"HOME", home.string()},
                           {"XDG_CONFIG_HOME", (home / ".config").string()}};
    process_ = std::make_unique<ChildProcess>(argv, options);
}

std::optional<int> ToolRun::wait(std::chrono::milliseconds timeout) {
    return process_->wait(timeout);
}

std::vector<json> ToolRun::events() const {
    std::vector<json> found;
    std::istringstream lines(process_->standardOutput());
    std::string line;
    while (std::getline(lines, line)) {
        json event = json::parse(line, nullptr, false);
        if (!event.is_discarded() && event.is_object()) found.push_back(std::move(event));
    }
    return found;
}

std::vector<json> ToolRun::events(const std::string& kind) const {
    std::vector<json> found;
    for (auto& event : events()) {
        if (event.value("event", "") == kind) found.push_back(event);
    }
    return found;
}

bool ToolRun::waitForEvent(const std::string& kind, std::chrono::milliseconds timeout) const {
    const std::string marker = "\"event\":\"" + kind + "\"";
    return process_
        ->waitForOutputLine(
            [&](const std::string& line) { return line.find(marker) != std::string::npos; },
            timeout)
        .has_value();
}

std::vector<std::string> finalTranscripts(const std::vector<json>& events) {
    std::vector<std::string> transcripts;
    for (const auto& event : events) {
        if (event.value("event", "") != "final") continue;
        for (const auto& hypothesis : event["hypotheses"]) {
            transcripts.push_back(hypothesis["transcript"].is_string()
                                      ? hypothesis["transcript"].get<std::string>()
                                      : std::string("<none>"));
        }
        break;
    }
    return transcripts;
}

}  // namespace varen::test
