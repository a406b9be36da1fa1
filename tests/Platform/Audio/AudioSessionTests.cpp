#include "varenstt/Platform/AudioSession.h"

#include <gtest/gtest.h>

#include <vector>

#include "Support/TestSupport.h"
#include "varenstt/Platform/RunLoop.h"

namespace varen::test {
namespace {

using platform::AudioSession;

// Each answer: granted, and whether it ran on the main loop.
std::vector<std::pair<bool, bool>> requestTwice() {
    std::vector<std::pair<bool, bool>> answers;
    for (int i = 0; i < 2; ++i) {
        AudioSession::sharedInstance()->requestRecordPermission([&answers](bool granted) {
            answers.emplace_back(granted, platform::RunLoop::main()->isCurrent());
        });
    }
    EXPECT_TRUE(answers.empty());  // never inside the request
    runMainLoopUntil([&] { return answers.size() >= 2; });
    drainMainLoop();  // and no more
    return answers;
}

TEST(AudioSession, GrantsEachRequestOnceLaterOnTheMainLoop) {
    const std::vector<std::pair<bool, bool>> expected{{true, true}, {true, true}};
    EXPECT_EQ(requestTwice(), expected);
}

TEST(AudioSession, RefusesWhenThePolicySaysSo) {
    AudioSession::sharedInstance()->setRecordPermissionPolicy(
        AudioSession::RecordPermissionPolicy::deny);
    const std::vector<std::pair<bool, bool>> expected{{false, true}, {false, true}};
    EXPECT_EQ(requestTwice(), expected);
}

}  // namespace
}  // namespace varen::test
