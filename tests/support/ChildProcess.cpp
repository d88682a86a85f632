#include "support/ChildProcess.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <spawn.h>
#include <unistd.h>

#include <csignal>
#include <sys/wait.h>
#endif

#include <thread>
#include <vector>

#if !defined(_WIN32)
extern char** environ;
#endif

namespace Metrics::Testing {

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

#if defined(_WIN32)
int RunThisProgram(const std::string& filter, const std::string& name, const std::string& value,
                   std::chrono::seconds deadline) {
    char program[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string commandLine = "\"" + std::string(program, length) +
                              "\" --gtest_also_run_disabled_tests --gtest_filter=" + filter;
    _putenv_s(name.c_str(), value.c_str());  // inherited by the child
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -2;
    }
    CloseHandle(process.hThread);
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(deadline);
    int result = -1;
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(milliseconds.count())) ==
        WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result = static_cast<int>(code);
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    CloseHandle(process.hProcess);
    return result;
}
#else
int RunThisProgram(const std::string& filter, const std::string& name, const std::string& value,
                   std::chrono::seconds deadline) {
    const std::string filterArgument = "--gtest_filter=" + filter;
    const std::string setting = name + "=" + value;
    std::vector<char*> argv = {const_cast<char*>("/proc/self/exe"),
                               const_cast<char*>(filterArgument.c_str()),
                               const_cast<char*>("--gtest_also_run_disabled_tests"), nullptr};
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    envp.push_back(const_cast<char*>(setting.c_str()));
    envp.push_back(nullptr);
    const auto started = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), envp.data()) != 0) {
        return -2;
    }
    while (true) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() - started > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
#endif

}  // namespace Metrics::Testing
