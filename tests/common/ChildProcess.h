#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kavrin::test {

// Another program started by a test, talked to in lines over its standard input and output.
class ChildProcess {
public:
    // Starts `argv[0]` with the arguments that follow. Throws std::runtime_error when it cannot.
    explicit ChildProcess(const std::vector<std::string>& argv);
    // Closes its input and waits for it to end.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes `line` and a line break to its standard input.
    void send(const std::string& line);
    // The next line of its standard output, without the line break; empty at its end.
    std::string receive();
    // Whether it is still running.
    bool running();
    // Waits for it to end; its exit code, or -1 when it did not exit normally.
    int wait();

private:
    // The process and the two ends of its pipes, as the platform knows them
    // (ChildProcessPosix.cpp, ChildProcessWindows.cpp).
    struct Handles;
    std::unique_ptr<Handles> m_handles;
    std::string m_buffer;
    int m_exit = -1;
    bool m_ended = false;
};

}  // namespace kavrin::test
