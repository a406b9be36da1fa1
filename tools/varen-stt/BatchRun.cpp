#include "BatchRun.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "Presentation.h"
#include "varenstt/Platform/RunLoop.h"
#include "varenstt/Platform/UIRenderer.h"

namespace varen::tools {

namespace {

using nlohmann::json;
using varen::Recognition;
using varen::Recognizer;

// The runs and what they show. Every callback arrives on the main run loop, where `run` waits:
// nothing here is shared between threads.
class Batch {
  public:
    explicit Batch(const BatchSettings& settings) : settings_(settings) {}

    int run() {
        startMore();
        while (finished_ < settings_.inputs.size()) varen::platform::RunLoop::main()->run();
        return failed_ == 0 ? 0 : 1;
    }

  private:
    struct Job {
        std::filesystem::path input;
        std::shared_ptr<Recognizer> recognizer;
        float level = kSilentLevel;
        std::string partial;
    };

    void startMore() {
        while (active_.size() < settings_.jobs && next_ < settings_.inputs.size()) start(next_++);
        redraw({});
    }

    void start(std::size_t index) {
        auto options = settings_.recognizer;
        options.callbacksOnMainRunLoop = true;
        auto recognizer = Recognizer::create(options);
        recognizer->onPartial([this, index](std::string_view text) {
            if (settings_.json) return emit(index, {{"event", "partial"}, {"text", text}});
            if (auto job = active_.find(index); job != active_.end()) {
                job->second.partial = shown(std::string(text));
                redraw({});
            }
        });
        recognizer->onLevel([this, index](float decibels) {
            if (settings_.json) return emit(index, {{"event", "level"}, {"db", decibels}});
            if (auto job = active_.find(index); job != active_.end()) {
                job->second.level = decibels;
                redraw({});
            }
        });
        recognizer->onResume([this, index](std::int64_t attempt) {
            if (settings_.json) emit(index, {{"event", "resume"}, {"attempt", attempt}});
        });
        recognizer->onFinal(
            [this, index](const Recognition& recognition) { finishWithFinal(index, recognition); });
        recognizer->onError([this, index](std::error_code, std::string_view message) {
            finishWithError(index, std::string(message));
        });
        active_[index] = Job{settings_.inputs[index], recognizer, kSilentLevel, {}};
        recognizer->start(varen::AudioInput::file(settings_.inputs[index], settings_.speed));
    }

    void finishWithFinal(std::size_t index, const Recognition& recognition) {
        if (settings_.json) {
            emit(index, {{"event", "final"},
                         {"hypotheses", tools::hypothesesJson(recognition.hypotheses)}});
            emit(index, {{"event", "recording"}, {"path", recognition.recordingPath.string()}});
        } else {
            std::string line = shown(settings_.inputs[index].string()) + ": ";
            if (recognition.hypotheses.empty()) {
                line += "(no alternatives)";
            } else {
                const auto& best = recognition.hypotheses.front();
                char confidence[32];
                std::snprintf(confidence, sizeof confidence, " (confidence %.2f)",
                              static_cast<double>(best.confidence()));
                line += shown(best.transcript().value_or("")) + confidence;
            }
            redraw(line);
        }
        finish(index);
    }

    void finishWithError(std::size_t index, const std::string& message) {
        ++failed_;
        if (settings_.json) {
            emit(index, {{"event", "error"}, {"message", message}});
        } else {
            redraw(shown(settings_.inputs[index].string()) + ": error: " + shown(message));
        }
        finish(index);
    }

    void finish(std::size_t index) {
        active_.erase(index);
        ++finished_;
        if (finished_ == settings_.inputs.size()) {
            varen::platform::RunLoop::main()->stop();
            return;
        }
        startMore();
    }

    void emit(std::size_t index, json event) {
        event["input"] = settings_.inputs[index].string();
        std::cout << event.dump() << "\n" << std::flush;
    }

    // Rewrites the status lines of the files in progress (on a terminal), with a finished file's
    // result line above them.
    void redraw(const std::string& resultLine) {
        if (settings_.json) return;
        if (!terminal_) {
            if (!resultLine.empty()) std::cout << resultLine << "\n" << std::flush;
            return;
        }
        std::string out;
        if (shownLines_ > 0) out += "\033[" + std::to_string(shownLines_) + "F";
        out += "\033[J";
        if (!resultLine.empty()) out += resultLine + "\n";
        for (const auto& [index, job] : active_) {
            out += shown(job.input.filename().string()) + " " + levelMeter(job.level) + " " +
                   job.partial + "\n";
        }
        shownLines_ = active_.size();
        std::cout << out << std::flush;
    }

    // A name or a server's text on a terminal: never a control character that could steer it.
    std::string shown(const std::string& text) const {
        return terminal_ ? varen::platform::terminalSafeText(text) : text;
    }

    const BatchSettings& settings_;
    const bool terminal_ = isatty(STDOUT_FILENO) == 1;
    std::map<std::size_t, Job> active_;
    std::size_t next_ = 0;
    std::size_t finished_ = 0;
    std::size_t failed_ = 0;
    std::size_t shownLines_ = 0;
};

}  // namespace

int runBatch(const BatchSettings& settings) {
    return Batch(settings).run();
}

}  // namespace varen::tools
