// A host that loads a plugin built on quillmetrics, uses it and unloads it. This program does not
// link the library itself: the plugin brings it in.

#include <algorithm>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/Files.h"

namespace {

#if defined(_WIN32)
using Module = HMODULE;
Module Load() { return LoadLibraryA(QUILLMETRICS_TEST_PLUGIN); }
bool Unload(Module module) { return FreeLibrary(module) != FALSE; }
void* Find(Module module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(module, name));
}
#else
using Module = void*;
Module Load() { return dlopen(QUILLMETRICS_TEST_PLUGIN, RTLD_NOW | RTLD_LOCAL); }
bool Unload(Module module) { return dlclose(module) == 0; }
void* Find(Module module, const char* name) { return dlsym(module, name); }
#endif

template <typename Function>
Function FindFunction(Module module, const char* name) {
    return reinterpret_cast<Function>(Find(module, name));
}

TEST(UnloadTest, PluginLoadedAndUnloadedRepeatedly) {
    for (int round = 0; round < 20; ++round) {
        const Module plugin = Load();
        ASSERT_NE(plugin, nullptr);
        const auto run = FindFunction<int (*)()>(plugin, "RunPluginScenario");
        ASSERT_NE(run, nullptr);
        EXPECT_EQ(run(), 10) << "round " << round;
        EXPECT_TRUE(Unload(plugin));
    }
}

// A library that never started its thread is really unloaded (Windows; Linux keeps it), and a
// thread that used it and ends afterwards does not call into the code that is gone.
TEST(UnloadTest, ThreadThatOutlivesTheLibraryEndsCleanly) {
    for (int round = 0; round < 3; ++round) {
        const Module plugin = Load();
        ASSERT_NE(plugin, nullptr);
        const auto use =
            FindFunction<unsigned long long (*)()>(plugin, "UseContextsWithoutEnabling");
        ASSERT_NE(use, nullptr);
        std::promise<void> used;
        std::promise<void> unloaded;
        std::thread user([&, gone = unloaded.get_future()] {
            EXPECT_NE(use(), 0u);
            used.set_value();
            gone.wait();
        });
        used.get_future().wait();
        EXPECT_TRUE(Unload(plugin));
#if defined(_WIN32)
        EXPECT_EQ(GetModuleHandleA("quillmetrics.dll"), nullptr) << "round " << round;
#endif
        unloaded.set_value();
        user.join();
    }
}

// Run by ExitDeliversWhatWasQueued in a process of its own.
TEST(UnloadTest, DISABLED_RecordAndLeaveChild) {
    const char* path = std::getenv("QUILLMETRICS_EXIT_TEST_FILE");  // NOLINT(concurrency-mt-unsafe)
    ASSERT_NE(path, nullptr);
    const Module plugin = Load();
    ASSERT_NE(plugin, nullptr);
    const auto record = FindFunction<bool (*)(const char*, int)>(plugin, "RecordAndLeave");
    ASSERT_NE(record, nullptr);
    ASSERT_TRUE(record(path, 1000));
    // Neither flushed nor shut down nor unloaded: the process's exit must deliver the events.
}

TEST(UnloadTest, ExitDeliversWhatWasQueued) {
    const Metrics::Testing::TempFile path("exit-test");
    ASSERT_EQ(Metrics::Testing::RunThisProgram("UnloadTest.DISABLED_RecordAndLeaveChild",
                                               "QUILLMETRICS_EXIT_TEST_FILE", path,
                                               std::chrono::seconds(60)),
              0);
    const auto lines = Metrics::Testing::Lines(Metrics::Testing::ReadFile(path));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("exit-test") != std::string::npos;
                            }),
              1000);
}

}  // namespace
