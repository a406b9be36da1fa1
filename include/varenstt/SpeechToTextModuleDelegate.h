#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "varenstt/Export.h"
#include "varenstt/Platform/Error.h"
#include "varenstt/VarenSTTHypothesis.h"

namespace varen {

class SpeechToTextModule;

// Receives the end of a recognition run: the final list of hypotheses or a failure.
class VARENSTT_API SpeechToTextModuleDelegate {
  public:
    virtual ~SpeechToTextModuleDelegate() = default;
    virtual void speechRecognizerDidRecognizeAudioWithText(
        SpeechToTextModule& module, const std::vector<VarenSTTHypothesis>& hypotheses) = 0;
    virtual void speechRecognizerDidFailWithError(SpeechToTextModule& module, const Error& error) = 0;
};

// Receives what happens during a run: the input level and partial transcripts.
class VARENSTT_API SpeechToTextModuleAudioDelegate {
  public:
    virtual ~SpeechToTextModuleAudioDelegate() = default;
    // The average input power in dBFS (0 is the loudest).
    virtual void volumeChangedWithDecibels(float decibels) = 0;
    virtual void partialTextRecognized(const std::string& text) = 0;
    // The run's connection dropped and a new one has taken over (`attempt` in a row).
    virtual void connectionResumed(std::int64_t attempt) { (void)attempt; }
};

}  // namespace varen
