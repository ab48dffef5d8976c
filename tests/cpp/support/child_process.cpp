#include "child_process.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <cstring>
#include <thread>

namespace zelto::test_processes {

#if defined(_WIN32)

namespace {
// The exit code of a process that die_abruptly() ended (128 + SIGKILL, as a shell shows it).
constexpr UINT kKilledExitCode = 137;

HANDLE handle_of(Child child) {
    return reinterpret_cast<HANDLE>(child);
}
}  // namespace

std::optional<Child> spawn_self(const std::string& variable, const std::string& value) {
    wchar_t program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return std::nullopt;
    // The child inherits the environment as it is at the moment it starts.
    if (!SetEnvironmentVariableA(variable.c_str(), value.c_str())) return std::nullopt;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program, nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &process);
    SetEnvironmentVariableA(variable.c_str(), nullptr);
    if (!started) return std::nullopt;
    CloseHandle(process.hThread);
    return reinterpret_cast<Child>(process.hProcess);
}

std::vector<ChildStatus> wait_all(const std::vector<Child>& children,
                                  std::chrono::steady_clock::duration limit) {
    std::vector<ChildStatus> statuses(children.size());
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (size_t i = 0; i < children.size(); ++i) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const DWORD timeout = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
        HANDLE process = handle_of(children[i]);
        statuses[i].finished = WaitForSingleObject(process, timeout) == WAIT_OBJECT_0;
        if (!statuses[i].finished) {
            TerminateProcess(process, kKilledExitCode);
            WaitForSingleObject(process, INFINITE);
        }
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        statuses[i].killed = code == kKilledExitCode;
        statuses[i].exit_code = static_cast<int>(code);
        CloseHandle(process);
    }
    return statuses;
}

void die_abruptly() {
    TerminateProcess(GetCurrentProcess(), kKilledExitCode);
    for (;;) Sleep(INFINITE);
}

#else

std::optional<Child> spawn_self(const std::string& variable, const std::string& value) {
    std::vector<std::string> variables;
    const std::string prefix = variable + "=";
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0)
            variables.emplace_back(*entry);
    }
    variables.push_back(prefix + value);
    std::vector<char*> envp;
    for (auto& entry : variables) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string name = "zelto-test-child";
    char* argv[] = {name.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0)
        return std::nullopt;
    return pid;
}

std::vector<ChildStatus> wait_all(const std::vector<Child>& children,
                                  std::chrono::steady_clock::duration limit) {
    std::vector<ChildStatus> statuses(children.size());
    std::vector<int> wait_statuses(children.size());
    const auto deadline = std::chrono::steady_clock::now() + limit;
    size_t remaining = children.size();
    while (remaining > 0 && std::chrono::steady_clock::now() < deadline) {
        for (size_t i = 0; i < children.size(); ++i) {
            if (statuses[i].finished) continue;
            const auto pid = static_cast<pid_t>(children[i]);
            if (waitpid(pid, &wait_statuses[i], WNOHANG) == pid) {
                statuses[i].finished = true;
                --remaining;
            }
        }
        if (remaining > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (size_t i = 0; i < children.size(); ++i) {
        if (!statuses[i].finished) {
            kill(static_cast<pid_t>(children[i]), SIGKILL);
            waitpid(static_cast<pid_t>(children[i]), &wait_statuses[i], 0);
        }
        const int status = wait_statuses[i];
        statuses[i].killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        if (WIFEXITED(status)) statuses[i].exit_code = WEXITSTATUS(status);
    }
    return statuses;
}

void die_abruptly() {
    kill(getpid(), SIGKILL);
    for (;;) pause();
}

#endif

}  // namespace zelto::test_processes
