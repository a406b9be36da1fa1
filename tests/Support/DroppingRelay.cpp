#include "Support/DroppingRelay.h"

#include <sstream>

namespace varen::test {

DroppingRelay::DroppingRelay(std::uint16_t targetPort, std::size_t cutAfterClientBytes)
    : process_(std::make_unique<ChildProcess>(std::vector<std::string>{
          kPython, VARENSTT_TEST_SOURCE_DIR "/Support/peers/dropping_relay.py",
          std::to_string(targetPort), std::to_string(cutAfterClientBytes)})) {
    const auto line = process_->waitForOutputLine(
        [](const std::string& l) { return l.rfind("PORT ", 0) == 0; }, std::chrono::seconds(20));
    if (line) port_ = std::stoi(line->substr(5));
}

bool DroppingRelay::told(const std::string& line) const {
    return process_
        ->waitForOutputLine([&line](const std::string& l) { return l == line; },
                            std::chrono::seconds(10))
        .has_value();
}

int DroppingRelay::connections() const {
    std::istringstream output(process_->standardOutput());
    int count = 0;
    for (std::string line; std::getline(output, line);) count += line.rfind("CONNECT ", 0) == 0;
    return count;
}

}  // namespace varen::test
