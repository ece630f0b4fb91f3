// A program run by a test: its standard output read line by line, its
// standard error kept in a file, every wait bounded.
#ifndef TRV_TOOLS_TESTS_CHILD_PROCESS_H
#define TRV_TOOLS_TESTS_CHILD_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace tools::testing {

class ChildProcess {
public:
    // env: NAME=VALUE entries added to this process's environment; mergeErrors
    // reads standard error as standard output.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                          bool mergeErrors = false) {
        char errName[] = "/tmp/trv-child-XXXXXX";
        const int errFd = ::mkstemp(errName);
        errPath_ = errName;
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, mergeErrors ? out[1] : errFd, STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> envText;
        for (char** e = environ; *e != nullptr; ++e) envText.emplace_back(*e);
        envText.insert(envText.end(), env.begin(), env.end());
        std::vector<char*> envp;
        for (auto& e : envText) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(errFd);
        out_ = out[0];
        if (pid_ > 0) pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }

    ~ChildProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            int ignored;
            ::waitpid(pid_, &ignored, 0);
        }
        for (int fd : {out_, pidFd_})
            if (fd >= 0) ::close(fd);
        ::unlink(errPath_.c_str());
    }

    bool started() const { return pid_ > 0 && pidFd_ >= 0; }
    void Signal(int sig) { ::kill(pid_, sig); }

    // The next line of standard output; nothing at its end or after the limit.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const size_t eol = buffered_.find('\n');
            if (eol != std::string::npos) {
                std::string line = buffered_.substr(0, eol);
                buffered_.erase(0, eol + 1);
                lines_.push_back(line);
                return line;
            }
            if (!Fill(deadline)) return std::nullopt;
        }
    }

    // Lines up to the first that holds part.
    std::optional<std::string> ReadUntil(const std::string& part,
                                         std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        while (auto line = ReadLine(limit))
            if (line->find(part) != std::string::npos) return line;
        return std::nullopt;
    }

    // Every remaining line, then the exit status (-1 when the limit passed
    // first or the program died by a signal).
    int Finish(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        while (ReadLine(limit)) {}
        return Wait(limit);
    }

    int Wait(std::chrono::milliseconds limit) {
        if (status_) return *status_;
        pollfd fd{pidFd_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(limit.count())) != 1) return -1;
        int raw = 0;
        ::waitpid(pid_, &raw, 0);
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return *status_;
    }

    const std::vector<std::string>& lines() const { return lines_; }
    std::vector<std::string> LinesWith(const std::string& part) const {
        std::vector<std::string> out;
        for (const auto& l : lines_)
            if (l.find(part) != std::string::npos) out.push_back(l);
        return out;
    }
    std::string ErrorText() const {
        std::ifstream in(errPath_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    bool Fill(std::chrono::steady_clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (out_ < 0 || left.count() <= 0) return false;
        pollfd fd{out_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) != 1) return false;
        char chunk[4096];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffered_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int pidFd_ = -1;
    int out_ = -1;
    std::string errPath_;
    std::string buffered_;
    std::vector<std::string> lines_;
    std::optional<int> status_;
};

// The text of a field of one of vktpoll's JSON lines: a string without its
// quotes, anything else as written.
inline std::string JsonField(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    size_t at = line.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    if (line[at] == '"') {
        const size_t end = line.find('"', at + 1);
        return line.substr(at + 1, end - at - 1);
    }
    const size_t end = line.find_first_of(",}", at);
    return line.substr(at, end - at);
}

}  // namespace tools::testing

#endif
