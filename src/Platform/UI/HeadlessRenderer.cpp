#include "varenstt/Platform/UIRenderer.h"

namespace varen::platform {

std::shared_ptr<HeadlessRenderer> HeadlessRenderer::create() {
    return std::make_shared<HeadlessRenderer>();
}

void HeadlessRenderer::render(const Snapshot& snapshot) {
    std::lock_guard guard(mutex_);
    if (!records_.empty() && records_.back() == snapshot) return;
    records_.push_back(snapshot);
}

std::vector<Snapshot> HeadlessRenderer::records() const {
    std::lock_guard guard(mutex_);
    return records_;
}

Snapshot HeadlessRenderer::lastRecord() const {
    std::lock_guard guard(mutex_);
    return records_.empty() ? Snapshot{} : records_.back();
}

std::size_t HeadlessRenderer::recordCount() const {
    std::lock_guard guard(mutex_);
    return records_.size();
}

}  // namespace varen::platform
