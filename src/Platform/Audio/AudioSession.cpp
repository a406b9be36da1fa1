#include "varenstt/Platform/AudioSession.h"

#include <utility>

#include "varenstt/Platform/DispatchQueue.h"

namespace varen::platform {

std::shared_ptr<AudioSession> AudioSession::sharedInstance() {
    static const auto instance = std::make_shared<AudioSession>();
    return instance;
}

void AudioSession::requestRecordPermission(PermissionBlock response,
                                           std::shared_ptr<DispatchQueue> queue) {
    const bool granted = policy_.load() == RecordPermissionPolicy::grant;
    // A pending answer keeps the session alive.
    (queue ? queue : DispatchQueue::main())
        ->async([self = sharedInstance(), response = std::move(response), granted] {
            if (response) response(granted);
        });
}

void AudioSession::setRecordPermissionPolicy(RecordPermissionPolicy policy) {
    policy_.store(policy);
}

AudioSession::RecordPermissionPolicy AudioSession::recordPermissionPolicy() const {
    return policy_.load();
}

bool AudioSession::setCategoryError(const std::string& category, Error*) {
    std::lock_guard lock(mutex_);
    category_ = category;
    return true;
}

bool AudioSession::setActiveError(bool active, Error*) {
    active_.store(active);
    return true;
}

std::string AudioSession::category() const {
    std::lock_guard lock(mutex_);
    return category_;
}

bool AudioSession::isActive() const {
    return active_.load();
}

}  // namespace varen::platform
