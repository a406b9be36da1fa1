#include "varenstt/Runtime.h"
#include "varenstt/VarenSTTManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "varenstt/VarenSTT.h"

using varen::VarenSTTManager;

TEST(ManagerSettings, StartWithTheDocumentedValues) {
    // A runtime that starts afresh has a shared manager with the defaults, whatever came before.
    varen::shutdown();
    auto manager = VarenSTTManager::shared();
    EXPECT_EQ(manager->apiKey(), "");
    EXPECT_EQ(manager->decoderUrl(), "ws://localhost:8390/ws/client/speech");
    EXPECT_EQ(manager->prompt(), "Parla ora");
    EXPECT_EQ(manager->maxResults(), 1);
    EXPECT_EQ(manager->minSilence(), 2.0f);
    EXPECT_EQ(manager->languageModel(), "it-IT_8k");
    ASSERT_TRUE(manager->serviceURL());
    EXPECT_EQ(manager->serviceURL()->absoluteString(),
              "ws://localhost:8390/ws/client/speech?key=&model=it-IT_8k");
}

TEST(ManagerSettings, SharedIsOneInstanceEvenWhenFirstAskedFromManyThreads) {
    std::vector<std::thread> threads;
    std::vector<VarenSTTManager*> seen(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] { seen[i] = VarenSTTManager::shared().get(); });
    for (auto& t : threads) t.join();
    for (auto* m : seen) EXPECT_EQ(m, seen[0]);
}

TEST(ManagerSettings, SettersStoreValuesUnchanged) {
    VarenSTTManager manager;
    manager.setMaxResults(-3);
    manager.setMinSilence(-1.5f);
    manager.setDecoderUrl("https://example.org/speech");
    EXPECT_EQ(manager.maxResults(), -3);
    EXPECT_EQ(manager.minSilence(), -1.5f);
    EXPECT_EQ(manager.decoderUrl(), "https://example.org/speech");
    EXPECT_EQ(manager.serviceURL()->scheme(), "https");
}

TEST(ServiceURL, EscapesKeyAndModelSoTheyCannotChangeTheQuery) {
    VarenSTTManager manager;
    manager.setApiKey("a b&admin=1#frag");
    manager.setLanguageModel("en-US_8k");
    auto url = manager.serviceURL();
    ASSERT_TRUE(url);
    EXPECT_EQ(url->query(), "key=a%20b%26admin%3D1%23frag&model=en-US_8k");
    EXPECT_FALSE(url->fragment());

    manager.setApiKey("Key-1._~");
    EXPECT_EQ(manager.serviceURL()->query(), "key=Key-1._~&model=en-US_8k");
}

TEST(ServiceURL, IsAbsentWhenTheDecoderUrlDoesNotParse) {
    VarenSTTManager manager;
    manager.setDecoderUrl("not a url");
    EXPECT_FALSE(manager.serviceURL());
}

TEST(Version, ExportsNumberAndString) {
    EXPECT_EQ(varen::VarenSTTVersionNumber, 1.0);
    EXPECT_STREQ(reinterpret_cast<const char*>(varen::VarenSTTVersionString),
                 "@(#)PROGRAM:VarenSTT  PROJECT:VarenSTT-1\n");
}
