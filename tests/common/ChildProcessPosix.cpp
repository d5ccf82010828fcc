#include "common/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace kavrin::test {

struct ChildProcess::Handles {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : m_handles(new Handles) {
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const int failed =
        ::posix_spawn(&m_handles->pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    m_handles->input = toChild[1];
    m_handles->output = fromChild[0];
    if (failed != 0) {
        ::close(m_handles->input);
        ::close(m_handles->output);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(failed));
    }
}

ChildProcess::~ChildProcess() {
    wait();
    ::close(m_handles->output);
}

void ChildProcess::send(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(m_handles->input, text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("write to child: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(put);
    }
}

std::string ChildProcess::receive() {
    for (;;) {
        const std::size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return line;
        }
        char chunk[4096];
        const ssize_t got = ::read(m_handles->output, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return std::exchange(m_buffer, {});
        }
        m_buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

bool ChildProcess::running() {
    if (m_ended) {
        return false;
    }
    int status = 0;
    if (::waitpid(m_handles->pid, &status, WNOHANG) == m_handles->pid) {
        m_ended = true;
        m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return !m_ended;
}

int ChildProcess::wait() {
    if (m_handles->input >= 0) {
        ::close(m_handles->input);
        m_handles->input = -1;
    }
    while (!m_ended) {
        int status = 0;
        const pid_t done = ::waitpid(m_handles->pid, &status, 0);
        if (done == m_handles->pid) {
            m_ended = true;
            m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        } else if (done < 0 && errno != EINTR) {
            m_ended = true;
        }
    }
    return m_exit;
}

}  // namespace kavrin::test
