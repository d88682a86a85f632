// A host that loads a plugin built on quillmetrics, uses it and unloads it. This program does not
// link the library itself: the plugin brings it in.

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/Watchdog.h"

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
    const Metrics::Testing::Watchdog watchdog(std::chrono::seconds(60), "plugin unload");
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
    const Metrics::Testing::Watchdog watchdog(std::chrono::seconds(60), "unload with live thread");
    for (int round = 0; round < 3; ++round) {
        const Module plugin = Load();
        ASSERT_NE(plugin, nullptr);
        const auto use =
            FindFunction<unsigned long long (*)()>(plugin, "UseContextsWithoutEnabling");
        ASSERT_NE(use, nullptr);
        std::mutex mutex;
        std::condition_variable changed;
        bool used = false;
        bool unloaded = false;
        std::thread user([&] {
            EXPECT_NE(use(), 0u);
            std::unique_lock<std::mutex> lock(mutex);
            used = true;
            changed.notify_all();
            changed.wait(lock, [&] { return unloaded; });
        });
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return used; });
        }
        EXPECT_TRUE(Unload(plugin));
#if defined(_WIN32)
        EXPECT_EQ(GetModuleHandleA("quillmetrics.dll"), nullptr) << "round " << round;
#endif
        {
            const std::lock_guard<std::mutex> lock(mutex);
            unloaded = true;
            changed.notify_all();
        }
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
    const std::string path = ::testing::TempDir() + "quillmetrics-exit-test.csv";
    std::remove(path.c_str());
    ASSERT_EQ(Metrics::Testing::RunThisProgram("UnloadTest.DISABLED_RecordAndLeaveChild",
                                               "QUILLMETRICS_EXIT_TEST_FILE", path,
                                               std::chrono::seconds(60)),
              0);
    std::ifstream file(path);
    std::string line;
    int recorded = 0;
    while (std::getline(file, line)) {
        recorded += line.find("exit-test") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(recorded, 1000);
    file.close();
    std::remove(path.c_str());
}

}  // namespace
