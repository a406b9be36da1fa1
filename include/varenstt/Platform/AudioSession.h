#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "varenstt/Export.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/Error.h"

namespace varen::platform {

// The session category that allows capture while audio plays.
inline constexpr const char* AVAudioSessionCategoryPlayAndRecord =
    "AVAudioSessionCategoryPlayAndRecord";

// The process's audio session: record permission and the session category.
//
// There is no user to ask on this platform, so the permission answer comes from a policy the
// host sets (granted by default; tools and tests can refuse).
//
// Thread safety: every member may be called from any thread. Permission answers run on the
// main run loop, never inside the call that requested them.
class VARENSTT_API AudioSession {
  public:
    enum class RecordPermissionPolicy { grant, deny };
    using PermissionBlock = std::function<void(bool granted)>;

    static std::shared_ptr<AudioSession> sharedInstance();

    // Answers once, later, on `queue` (by default the main run loop's DispatchQueue::main()),
    // with the policy in force when the request was made.
    void requestRecordPermission(PermissionBlock response,
                                 std::shared_ptr<DispatchQueue> queue = nullptr);

    void setRecordPermissionPolicy(RecordPermissionPolicy policy);
    RecordPermissionPolicy recordPermissionPolicy() const;

    // Both always succeed: capture needs no session set-up here. They return true and leave
    // `outError` untouched.
    bool setCategoryError(const std::string& category, Error* outError = nullptr);
    bool setActiveError(bool active, Error* outError = nullptr);
    std::string category() const;
    bool isActive() const;

    AudioSession() = default;

  private:
    std::atomic<RecordPermissionPolicy> policy_{RecordPermissionPolicy::grant};
    std::atomic<bool> active_{false};
    mutable std::mutex mutex_;
    std::string category_;
};

}  // namespace varen::platform
