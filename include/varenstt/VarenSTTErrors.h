#pragma once

#include <cstdint>

namespace varen {

// The errors of a recognition run. A host hears of a failure as one message
// (`varenSTTManagerDidFailRecognizeAudioWithError`); a capture-module delegate gets the error
// itself, with its text under VarenSTTErrorMessageKey. Socket failures arrive with the
// socket's own domains and codes (SRWebSocketErrors.h).

// The user-info key under which the library's own errors carry their text.
inline constexpr const char* VarenSTTErrorMessageKey = "message";

// Failures of audio capture.
inline constexpr const char* VarenSTTErrorDomain = "VarenSTT";
enum VarenSTTErrorCode : std::int64_t {
    // "User does not granted microphone permissions".
    VarenSTTErrorMicrophonePermissionDenied = 0,
    // "Audio input unavailable: " followed by the reason.
    VarenSTTErrorAudioInputUnavailable = 1,
};

// Failures of the recognition service: a status the server reported, an unusable service URL,
// a connection that ended before the final result, or no final result in time.
inline constexpr const char* VarenSTTRecognitionErrorDomain = "Recognition";
enum VarenSTTRecognitionErrorCode : std::int64_t {
    VarenSTTRecognitionErrorFailed = 0,
};

}  // namespace varen
