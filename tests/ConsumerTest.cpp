#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

// Each event carries its own bits as its tag.
std::shared_ptr<MetricsEvent> MakeEvent(unsigned long long bits) {
    return TaggedAttribute(bits, static_cast<long long>(bits));
}

std::vector<long long> ReceivedMasks(const RecordingListenerPtr& listener) {
    std::vector<long long> masks;
    for (const auto& event : listener->Events()) {
        masks.push_back(event.param2.m_int);
    }
    return masks;
}

// The same masks on both sides: synchronous consumers filter on the emitting thread,
// asynchronous ones on the background thread. A consumer takes an event that shares any one of
// its categories, also when each has categories the other lacks.
TEST(ConsumerTest, GlobalGateThenConsumerMask) {
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.Enable();
    struct Side {
        RecordingListenerPtr some = MakeRecordingListener();
        RecordingListenerPtr none = MakeRecordingListener();
        RecordingListenerPtr lowOnly = MakeRecordingListener();
    };
    Side sides[2];
    for (const bool synchronous : {true, false}) {
        const Side& side = sides[synchronous ? 0 : 1];
        ASSERT_TRUE(manager.AddConsumer(AsListener(side.some), 0xA000, synchronous));
        ASSERT_TRUE(manager.AddConsumer(AsListener(side.none), 0, synchronous));
        ASSERT_TRUE(manager.AddConsumer(AsListener(side.lowOnly), 0xFFF, synchronous));
    }

    manager.EmitEvent(MakeEvent(0x3000));  // global mask 0: nothing passes
    manager.SetBitsAbsolute(0x1000);
    for (const unsigned long long bits : {0x3000ULL, 0x2000ULL, 0x0ULL, 0xFFFULL, 0x1FFFULL}) {
        manager.EmitEvent(MakeEvent(bits));
    }
    manager.WaitUntilWritesFlushed(10000);
    for (const Side& side : sides) {
        // 0x2000 misses the global mask, even though the consumer's own mask would take it.
        EXPECT_EQ(ReceivedMasks(side.some), (std::vector<long long>{0x3000, 0x0, 0xFFF}));
        // Uncategorised events reach every consumer whatever its mask.
        EXPECT_EQ(ReceivedMasks(side.none), (std::vector<long long>{0x0, 0xFFF}));
        EXPECT_EQ(ReceivedMasks(side.lowOnly), (std::vector<long long>{0x0, 0xFFF}));
    }
}

TEST(ConsumerTest, MaskOperationsAndTestBits) {
    MetricsManager& manager = MetricsManager::GetInstance();
    EXPECT_FALSE(TestBits(0));
    EXPECT_FALSE(TestBits(0x1000));
    manager.SetBitsAbsolute(0x1000);
    EXPECT_EQ(manager.SetBits(0x2000), 0x1000u);
    EXPECT_EQ(manager.GetBits(), 0x3000u);
    manager.ClearBits(0x1000);
    EXPECT_EQ(manager.GetBits(), 0x2000u);
    EXPECT_TRUE(TestBits(0x0FFF));
    EXPECT_TRUE(TestBits(0));
    EXPECT_TRUE(TestBits(0x6000));
    EXPECT_FALSE(TestBits(0x4000));
    // Bits below 12 are no categories: a mask of only those passes whenever anything is enabled.
    manager.SetBitsAbsolute(0x0FFF);
    EXPECT_TRUE(TestBits(0x5));
    EXPECT_FALSE(TestBits(0x1000));
}

TEST(ConsumerTest, RemoveTakesOneRegistrationSynchronousFirst) {
    MetricsManager& manager = StartManager();
    auto listener = MakeRecordingListener();
    EXPECT_FALSE(manager.RemoveConsumer(AsListener(listener)));  // never registered

    ASSERT_TRUE(manager.AddConsumer(AsListener(listener), ~0ULL, false));
    ASSERT_TRUE(manager.AddConsumer(AsListener(listener), ~0ULL, true));
    manager.EmitEvent(MakeEvent(0));
    EXPECT_EQ(listener->Count(), 1u);  // synchronously, before the flush
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(listener->Count(), 2u);  // and once more from the background thread

    EXPECT_TRUE(manager.RemoveConsumer(AsListener(listener)));
    listener->Clear();
    manager.EmitEvent(MakeEvent(0));
    EXPECT_EQ(listener->Count(), 0u);  // the synchronous registration went first
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(listener->Count(), 1u);

    EXPECT_TRUE(manager.RemoveConsumer(AsListener(listener)));
    EXPECT_FALSE(manager.RemoveConsumer(AsListener(listener)));
    manager.EmitEvent(MakeEvent(0));
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(listener->Count(), 1u);
}

TEST(ConsumerTest, AsyncConsumerMayRemoveItselfWhileBeingCalled) {
    MetricsManager& manager = StartManager();
    auto self = MakeRecordingListener();
    auto witness = MakeRecordingListener();
    self->SetOnEvent(
        [&manager, &self](const MetricsEvent&) { manager.RemoveConsumer(AsListener(self)); });
    ASSERT_TRUE(manager.AddConsumer(AsListener(self), ~0ULL, false));
    ASSERT_TRUE(manager.AddConsumer(AsListener(witness), ~0ULL, false));
    for (int i = 0; i < 5; ++i) {
        manager.EmitEvent(MakeEvent(0));
    }
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_EQ(self->Count(), 1u);
    EXPECT_EQ(witness->Count(), 5u);
    self->SetOnEvent(nullptr);
}

}  // namespace
}  // namespace Metrics::Testing
