// A program the test starts, with its standard output and error in a file,
// ended when the test no longer waits for it.
#ifndef VORLAN_TESTS_PUBLISH_CHILD_PROCESS_H
#define VORLAN_TESTS_PUBLISH_CHILD_PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vorlan_test {

class ChildProcess {
public:
    // Starts `args` (args[0] the program's path); output goes to `output`.
    ChildProcess(const std::vector<std::string>& args, const std::string& output) : m_output(output) {
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    // Kills a child still running: no test leaves one behind.
    ~ChildProcess() {
        if (m_pid > 0 && m_code == kRunning) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    bool started() const { return m_pid > 0; }

    // The exit code, or -1 when it did not end within `limit` (or by a signal).
    int wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_code == kRunning) {
            int status = 0;
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                m_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return m_code;
    }

    void interrupt() {
        if (m_pid > 0 && m_code == kRunning) {
            kill(m_pid, SIGINT);
        }
    }

    std::string output() const {
        std::ifstream in(m_output);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Waits, at most `limit`, until the output holds `text`.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (output().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    static constexpr int kRunning = -1000;
    pid_t m_pid = -1;
    int m_code = kRunning;
    std::string m_output;
};

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_PUBLISH_CHILD_PROCESS_H
