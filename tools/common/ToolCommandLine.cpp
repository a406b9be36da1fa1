#include "ToolCommandLine.h"

#include <iostream>
#include <utility>

namespace varen::tools {

namespace {
constexpr int kExitSuccess = 0;
constexpr int kExitUsage = 2;
}  // namespace

ToolCommandLine::ToolCommandLine(std::string tool, std::string usage,
                                 std::function<std::string(const std::string&)> unknown)
    : tool_(std::move(tool)), usage_(std::move(usage)), unknown_(std::move(unknown)) {
    if (!unknown_) unknown_ = [](const std::string& arg) { return "unknown option " + arg; };
    // The tool prints its own usage text for --help; an argument that names no option is kept
    // for the tool's own message; an option may be given again, each time taking effect.
    app_.set_help_flag();
    app_.allow_extras();
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

CLI::Option* ToolCommandLine::value(const std::string& name, std::string missing,
                                    std::function<void(const std::string&)> apply) {
    missingMessages_[name] = std::move(missing);
    auto* option = app_.add_option(name, [this, apply = std::move(apply)](const CLI::results_t& r) {
        rejectEarlierUnknown();
        apply(r.front());
        return true;
    });
    return option->trigger_on_parse();
}

CLI::Option* ToolCommandLine::flag(const std::string& names, std::function<void()> apply) {
    auto* option = app_.add_flag_callback(names, [this, apply = std::move(apply)] {
        rejectEarlierUnknown();
        apply();
    });
    return option->trigger_on_parse();
}

void ToolCommandLine::addHelpAndVersion(std::string versionLine) {
    flag("-h,--help", [] { throw CLI::CallForHelp(); });
    flag("--version", [line = std::move(versionLine)] {
        throw CLI::CallForVersion(line, static_cast<int>(CLI::ExitCodes::Success));
    });
}

// Arguments that name no option are only set aside while CLI11 reads on; the first problem on
// the line is the one to report, so an option checks for them before it takes effect.
void ToolCommandLine::rejectEarlierUnknown() const {
    if (app_.remaining_size() > 0) throw UsageError(unknown_(app_.remaining().front()));
}

// CLI11 takes an option's value whatever it looks like, so a value can only be missing at the
// end of the line.
std::string ToolCommandLine::missingValue(const std::vector<std::string>& args,
                                          const CLI::Error& error) const {
    const std::string last = args.empty() ? "" : args.back();
    const auto found = missingMessages_.find(last.substr(0, last.find('=')));
    return found != missingMessages_.end() ? found->second : error.what();
}

CommandLineOutcome ToolCommandLine::parse(const std::vector<std::string>& args) {
    using Kind = CommandLineOutcome::Kind;
    try {
        // CLI11 takes the arguments from the back of the vector.
        app_.parse(std::vector<std::string>(args.rbegin(), args.rend()));
        rejectEarlierUnknown();
    } catch (const UsageError& error) {
        return {Kind::usageError, error.what()};
    } catch (const CLI::CallForHelp&) {
        return {Kind::help, {}};
    } catch (const CLI::CallForVersion& version) {
        return {Kind::version, version.what()};
    } catch (const CLI::ArgumentMismatch& error) {
        return {Kind::usageError, missingValue(args, error)};
    } catch (const CLI::ParseError& error) {
        return {Kind::usageError, error.what()};  // e.g. a flag given an unfit value (--echo=maybe)
    }
    return {};
}

int ToolCommandLine::reportUsageError(const std::string& message) const {
    std::cerr << tool_ << ": " << message << "\n" << usage_;
    return kExitUsage;
}

int ToolCommandLine::reportEarlyEnd(const CommandLineOutcome& outcome) const {
    switch (outcome.kind) {
        case CommandLineOutcome::Kind::help:
            std::cout << usage_;
            break;
        case CommandLineOutcome::Kind::version:
            std::cout << outcome.text << "\n";
            break;
        case CommandLineOutcome::Kind::usageError:
            return reportUsageError(outcome.text);
        case CommandLineOutcome::Kind::run:
            break;
    }
    return kExitSuccess;
}

}  // namespace varen::tools
