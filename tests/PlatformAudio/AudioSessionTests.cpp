#include "varenstt/Platform/AudioSession.h"

#include <gtest/gtest.h>

#include <vector>

#include "Support/TestSupport.h"
#include "varenstt/Platform/RunLoop.h"

namespace varen::test {
namespace {

using platform::AudioSession;
using platform::RunLoop;

struct Answer {
    bool granted;
    bool onMainLoop;
};

std::vector<Answer> requestTwice() {
    std::vector<Answer> answers;
    for (int i = 0; i < 2; ++i) {
        AudioSession::sharedInstance()->requestRecordPermission([&answers](bool granted) {
            answers.push_back({granted, RunLoop::main()->isCurrent()});
        });
    }
    // Never answered inside the request.
    EXPECT_TRUE(answers.empty());
    runMainLoopUntil([&] { return answers.size() >= 2; });
    runMainLoopFor(std::chrono::milliseconds(50));
    return answers;
}

TEST(AudioSession, GrantsEachRequestOnceLaterOnTheMainLoop) {
    const auto answers = requestTwice();
    ASSERT_EQ(answers.size(), 2u);
    for (const auto& answer : answers) {
        EXPECT_TRUE(answer.granted);
        EXPECT_TRUE(answer.onMainLoop);
    }
}

TEST(AudioSession, RefusesWhenThePolicySaysSo) {
    AudioSession::sharedInstance()->setRecordPermissionPolicy(
        AudioSession::RecordPermissionPolicy::deny);
    const auto answers = requestTwice();
    ASSERT_EQ(answers.size(), 2u);
    for (const auto& answer : answers) {
        EXPECT_FALSE(answer.granted);
        EXPECT_TRUE(answer.onMainLoop);
    }
}

TEST(AudioSession, PlayAndRecordSetUpSucceeds) {
    auto session = AudioSession::sharedInstance();
    Error error{"untouched", 7};
    EXPECT_TRUE(session->setCategoryError(platform::AVAudioSessionCategoryPlayAndRecord, &error));
    EXPECT_TRUE(session->setActiveError(true, &error));
    EXPECT_EQ(error, (Error{"untouched", 7}));
    EXPECT_EQ(session->category(), platform::AVAudioSessionCategoryPlayAndRecord);
    EXPECT_TRUE(session->isActive());
}

}  // namespace
}  // namespace varen::test
