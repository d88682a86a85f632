// A host that loads a plugin built on quillmetrics, uses it and unloads it, over and over. This
// program does not link the library itself: the plugin brings it in.

#include <dlfcn.h>

#include <gtest/gtest.h>

#include "support/Watchdog.h"

namespace {

TEST(UnloadTest, PluginLoadedAndUnloadedRepeatedly) {
    const Metrics::Testing::Watchdog watchdog(std::chrono::seconds(60), "plugin unload");
    for (int round = 0; round < 20; ++round) {
        void* plugin = dlopen(QUILLMETRICS_TEST_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(plugin, nullptr) << dlerror();
        using Scenario = int (*)();
        const auto run = reinterpret_cast<Scenario>(dlsym(plugin, "RunPluginScenario"));
        ASSERT_NE(run, nullptr) << dlerror();
        EXPECT_EQ(run(), 10) << "round " << round;
        EXPECT_EQ(dlclose(plugin), 0);
    }
}

}  // namespace
