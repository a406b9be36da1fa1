#include "varenstt/Platform/NotificationCenter.h"

#include <algorithm>
#include <atomic>

#include "Platform/Runtime.h"

namespace varen::platform {

struct NotificationCenter::Entry {
    std::string name;
    const void* sender;
    Observer observer;
    std::atomic<bool> active{true};
};

NotificationCenter& NotificationCenter::defaultCenter() {
    static const char key = 0;
    return *Runtime::current()->shared<NotificationCenter>(
        &key, [] { return std::make_shared<NotificationCenter>(); });
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* sender,
                                                          Observer observer) {
    auto entry = std::make_shared<Entry>();
    entry->name = std::move(name);
    entry->sender = sender;
    entry->observer = std::move(observer);
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
    return entry;
}

void NotificationCenter::removeObserver(const Token& token) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const auto& entry) { return entry == token; });
    if (found == entries_.end()) return;
    (*found)->active.store(false);
    entries_.erase(found);
}

void NotificationCenter::post(const std::string& name, const void* sender) {
    std::vector<std::shared_ptr<Entry>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : entries_) {
            if (entry->name == name && (entry->sender == nullptr || entry->sender == sender)) {
                matching.push_back(entry);
            }
        }
    }
    // Observers run without the lock, so they may add or remove observers themselves.
    const Notification notification{name, sender};
    for (const auto& entry : matching) {
        if (entry->active.load()) entry->observer(notification);
    }
}

}  // namespace varen::platform
