// A program run by a test, its standard output and error kept in files that
// the test reads as they grow; every wait is bounded.
#ifndef TRV_TOOLS_TESTS_CHILD_PROCESS_H
#define TRV_TOOLS_TESTS_CHILD_PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tools::testing {

using namespace std::chrono_literals;

class ChildProcess {
public:
    // env: NAME=VALUE entries added to the child's environment.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
        int fds[2];
        for (int i = 0; i < 2; ++i) {
            char name[] = "/tmp/trv-child-XXXXXX";
            fds[i] = ::mkostemp(name, O_CLOEXEC);
            paths_[i] = name;
        }
        if ((pid_ = ::fork()) == 0) {
            ::dup2(fds[0], STDOUT_FILENO);
            ::dup2(fds[1], STDERR_FILENO);
            for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        if (pid_ < 0) status_ = -1;
        ::close(fds[0]);
        ::close(fds[1]);
    }

    ~ChildProcess() {
        if (pid_ > 0 && !Exited()) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        for (const auto& path : paths_) ::unlink(path.c_str());
    }

    void Signal(int sig) { ::kill(pid_, sig); }

    // The complete lines of standard output so far that hold part.
    std::vector<std::string> LinesWith(const std::string& part = "") const {
        std::string text = Read(0);
        std::stringstream complete(text.substr(0, text.rfind('\n') + 1));
        std::vector<std::string> out;
        for (std::string line; std::getline(complete, line);)
            if (line.find(part) != std::string::npos) out.push_back(line);
        return out;
    }
    std::string ErrorText() const { return Read(1); }

    // The first line that holds part; nothing once the program ended or the limit passed without it.
    std::optional<std::string> WaitFor(const std::string& part, std::chrono::milliseconds limit = 20s) {
        for (const auto deadline = std::chrono::steady_clock::now() + limit;; std::this_thread::sleep_for(10ms)) {
            const bool over = Exited() || std::chrono::steady_clock::now() > deadline;
            if (const auto found = LinesWith(part); !found.empty()) return found.front();
            if (over) return std::nullopt;
        }
    }

    // The exit status; -1 when the limit passed first or the program died by a signal.
    int Wait(std::chrono::milliseconds limit = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!Exited() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
        return status_.value_or(-1);
    }

private:
    bool Exited() {
        int raw = 0;
        if (!status_ && ::waitpid(pid_, &raw, WNOHANG) == pid_) status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return status_.has_value();
    }
    std::string Read(int i) const {
        std::stringstream text;
        text << std::ifstream(paths_[i]).rdbuf();
        return text.str();
    }

    pid_t pid_ = -1;
    std::string paths_[2];
    std::optional<int> status_;
};

// The text of a field of one of vktpoll's JSON lines: a string without its
// quotes, anything else as written.
inline std::string JsonField(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    size_t at = line.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

}  // namespace tools::testing

#endif
