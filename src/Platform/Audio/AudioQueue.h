#pragma once

#include <cstdint>
#include <string>

// An audio input queue: the source's audio arrives in rotating buffers, one callback per filled
// buffer on the queue's own thread. The functions may be called from any thread, the callback
// included, unless a comment says otherwise.

namespace varen::platform {

class AudioInputSource;

using OSStatus = std::int32_t;
using AudioFormatID = std::uint32_t;
using AudioFormatFlags = std::uint32_t;
using AudioQueuePropertyID = std::uint32_t;

constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
    return (std::uint32_t(std::uint8_t(code[0])) << 24) |
           (std::uint32_t(std::uint8_t(code[1])) << 16) |
           (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

inline constexpr AudioFormatID kAudioFormatLinearPCM = fourCharCode("lpcm");
inline constexpr AudioFormatID kAudioFormatAppleLossless = fourCharCode("alac");
inline constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1u << 3;

inline constexpr AudioQueuePropertyID kAudioQueueProperty_MaximumOutputPacketSize =
    fourCharCode("xops");

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kAudioQueueErr_InvalidParameter = -50;
inline constexpr OSStatus kAudioFileNotFoundError = -43;
inline constexpr OSStatus kAudioQueueErr_InvalidBuffer = -66687;
inline constexpr OSStatus kAudioQueueErr_BufferInQueue = -66686;
inline constexpr OSStatus kAudioQueueErr_InvalidQueue = -66685;
inline constexpr OSStatus kAudioQueueErr_InvalidPropertySize = -66684;
inline constexpr OSStatus kAudioQueueErr_InvalidProperty = -66683;
inline constexpr OSStatus kAudioQueueErr_CannotStart = -66681;
inline constexpr OSStatus kAudioQueueErr_InvalidDevice = -66680;
inline constexpr OSStatus kAudioFormatUnsupportedDataFormatError = OSStatus(fourCharCode("fmt?"));
inline constexpr OSStatus kAudioFileUnsupportedFileTypeError = OSStatus(fourCharCode("typ?"));

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    AudioFormatID mFormatID = 0;
    AudioFormatFlags mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;
};

struct AudioStreamPacketDescription {
    std::int64_t mStartOffset = 0;
    std::uint32_t mVariableFramesInPacket = 0;
    std::uint32_t mDataByteSize = 0;
};

inline constexpr std::uint32_t kAudioTimeStampSampleTimeValid = 1u << 0;
inline constexpr std::uint32_t kAudioTimeStampHostTimeValid = 1u << 1;

struct AudioTimeStamp {
    // Frames delivered by this queue before the buffer's first frame.
    double mSampleTime = 0;
    // Steady-clock nanoseconds when the buffer was handed to the callback.
    std::uint64_t mHostTime = 0;
    std::uint32_t mFlags = 0;
};

// A capture buffer. The queue owns it; the callback may read `mAudioData` up to
// `mAudioDataByteSize` and enqueue the buffer again.
struct AudioQueueBuffer {
    const std::uint32_t mAudioDataBytesCapacity;
    void* const mAudioData;
    std::uint32_t mAudioDataByteSize;
    void* mUserData;
    std::uint32_t mPacketDescriptionCount;
};

struct OpaqueAudioQueue;
using AudioQueueRef = OpaqueAudioQueue*;
using AudioQueueBufferRef = AudioQueueBuffer*;

// Called on the queue's own thread for every filled buffer, with the number of packets it
// holds. Packet descriptions are always null for linear PCM.
using AudioQueueInputCallback = void (*)(void* inUserData, AudioQueueRef inAQ,
                                         AudioQueueBufferRef inBuffer,
                                         const AudioTimeStamp* inStartTime,
                                         std::uint32_t inNumberPacketDescriptions,
                                         const AudioStreamPacketDescription* inPacketDescs);

// Creates a stopped input queue for 16-bit signed mono linear PCM at the format's rate, fed by
// the process-wide default input source (`defaultAudioInputSource()`), or by `inSource` when
// given. A source that cannot
// deliver (no default input device, a missing or unreadable file) fails here. On failure
// `*outAQ` is null and `outErrorText` (when given) says what failed in a few words, such as
// "no default input device".
OSStatus AudioQueueNewInput(const AudioStreamBasicDescription* inFormat,
                            AudioQueueInputCallback inCallbackProc, void* inUserData,
                            AudioQueueRef* outAQ, std::string* outErrorText = nullptr,
                            const AudioInputSource* inSource = nullptr);

// A buffer of `inBufferByteSize` bytes owned by the queue until it is disposed.
OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, std::uint32_t inBufferByteSize,
                                  AudioQueueBufferRef* outBuffer);

// Hands a buffer to the queue to be filled. Input queues take no packet descriptions.
OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer,
                                 std::uint32_t inNumPacketDescs = 0,
                                 const AudioStreamPacketDescription* inPacketDescs = nullptr);

// Starts capture now (a start time is not supported; pass null). Starting a running queue does
// nothing. On failure `outErrorText` says what failed.
OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp* inStartTime = nullptr,
                         std::string* outErrorText = nullptr);

// Stops capture at once, whatever `inImmediate` says, dropping audio not yet delivered; the
// buffers stay enqueued for a later start. Synchronous: once it returns no callback runs, and a
// callback running on another thread has finished. Called from inside the callback it returns
// at once, and that callback is the last.
OSStatus AudioQueueStop(AudioQueueRef inAQ, bool inImmediate);

// Stops the queue as `AudioQueueStop` does and frees it with its buffers; the reference and
// its buffers are invalid afterwards. Called from inside the callback, the freeing waits for
// the callback to return.
OSStatus AudioQueueDispose(AudioQueueRef inAQ, bool inImmediate);

// Supports kAudioQueueProperty_MaximumOutputPacketSize (a std::uint32_t).
OSStatus AudioQueueGetProperty(AudioQueueRef inAQ, AudioQueuePropertyID inID, void* outData,
                               std::uint32_t* ioDataSize);

}  // namespace varen::platform
