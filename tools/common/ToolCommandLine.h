// The command line of a tool, read with CLI11 the way TOOLS.md documents it: the usage text
// written for the tool (not CLI11's) for --help and after a usage error, and usage errors in the
// tool's own words, the first one on the line reported.
#pragma once

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace varen::tools {

// A usage error: its message goes before the usage text, and the tool exits with status 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What a command line asks the tool to do.
struct CommandLineOutcome {
    enum class Kind { run, help, version, usageError };
    Kind kind = Kind::run;
    std::string text;  // the version line, or the usage error's message
};

class ToolCommandLine {
  public:
    // `tool` is the program's name, which starts a usage error; `usage` is the whole usage
    // text; `unknown` words the usage error for an argument that names no option (by default
    // "unknown option ARG").
    ToolCommandLine(std::string tool, std::string usage,
                    std::function<std::string(const std::string&)> unknown = {});

    // An option followed by one value, which it takes whatever it looks like. `apply` runs at
    // the option's place on the line and throws UsageError for an unfit value; `missing` is the
    // usage error when the line ends before the value.
    CLI::Option* value(const std::string& name, std::string missing,
                       std::function<void(const std::string&)> apply);
    // A flag ("-h,--help": several names); `apply` runs at its place on the line. It may throw
    // CLI::CallForHelp or CLI::CallForVersion to end the parse there.
    CLI::Option* flag(const std::string& names, std::function<void()> apply);
    // -h/--help and --version, each of which ends the parse where it stands.
    void addHelpAndVersion(std::string versionLine);

    CLI::App& app() { return app_; }  // for what the tool adds itself (a positional)

    // Reads the arguments (without the program's name) left to right.
    CommandLineOutcome parse(const std::vector<std::string>& args);

    // Prints "TOOL: MESSAGE" and the usage text on stderr; returns the exit status (2).
    int reportUsageError(const std::string& message) const;
    // For an outcome other than `run`: prints the usage text (stdout), the version line
    // (stdout) or the usage error (stderr), and returns the exit status (0, 0 or 2).
    int reportEarlyEnd(const CommandLineOutcome& outcome) const;

  private:
    void rejectEarlierUnknown() const;
    std::string missingValue(const std::vector<std::string>& args, const CLI::Error& error) const;

    std::string tool_;
    std::string usage_;
    std::function<std::string(const std::string&)> unknown_;
    std::map<std::string, std::string> missingMessages_;  // option name -> its usage error
    CLI::App app_;
};

}  // namespace varen::tools
