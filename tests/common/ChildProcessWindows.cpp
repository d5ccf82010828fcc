#include <windows.h>

#include <stdexcept>
#include <utility>

#include "common/ChildProcess.h"
#include "support/platform/Errors.h"
#include "support/text/WideText.h"

namespace kavrin::test {

namespace {

// One argument as the C runtime of the child reads it back: quoted when it holds a blank, a tab
// or a quote, its quotes and the backslashes before them escaped.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring result = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        result.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, L'\\');
    return result + L"\"";
}

[[noreturn]] void failed(const std::string& what) {
    throw std::runtime_error(what + ": " + systemErrorText(static_cast<int>(GetLastError())));
}

}  // namespace

struct ChildProcess::Handles {
    HANDLE process = nullptr;
    HANDLE input = nullptr;   // the writing end of its standard input
    HANDLE output = nullptr;  // the reading end of its standard output
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : m_handles(new Handles) {
    std::wstring command;
    for (const std::string& argument : argv) {
        std::wstring wide;
        if (!toWide(argument, wide)) {
            throw std::runtime_error("not UTF-8: " + argument);
        }
        command += (command.empty() ? L"" : L" ") + quoted(wide);
    }
    // The child inherits its ends of the pipes and nothing of this process's ends.
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    if (!CreatePipe(&childInput, &m_handles->input, &inherited, 0) ||
        !CreatePipe(&m_handles->output, &childOutput, &inherited, 0) ||
        !SetHandleInformation(m_handles->input, HANDLE_FLAG_INHERIT, 0) ||
        !SetHandleInformation(m_handles->output, HANDLE_FLAG_INHERIT, 0)) {
        failed("pipe");
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    const BOOL ok = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &started);
    const DWORD code = GetLastError();
    CloseHandle(childInput);
    CloseHandle(childOutput);
    if (!ok) {
        CloseHandle(m_handles->input);
        CloseHandle(m_handles->output);
        SetLastError(code);
        failed("cannot start " + argv.at(0));
    }
    CloseHandle(started.hThread);
    m_handles->process = started.hProcess;
}

ChildProcess::~ChildProcess() {
    wait();
    CloseHandle(m_handles->output);
    CloseHandle(m_handles->process);
}

void ChildProcess::send(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD put = 0;
        if (!WriteFile(m_handles->input, text.data() + done, static_cast<DWORD>(text.size() - done),
                       &put, nullptr)) {
            failed("write to child");
        }
        done += put;
    }
}

std::string ChildProcess::receive() {
    for (;;) {
        const std::size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        char chunk[4096];
        DWORD got = 0;
        if (!ReadFile(m_handles->output, chunk, sizeof chunk, &got, nullptr) || got == 0) {
            return std::exchange(m_buffer, {});  // the child closed its output: it ended
        }
        m_buffer.append(chunk, got);
    }
}

bool ChildProcess::running() {
    if (!m_ended && WaitForSingleObject(m_handles->process, 0) == WAIT_OBJECT_0) {
        DWORD code = 0;
        m_exit = GetExitCodeProcess(m_handles->process, &code) ? static_cast<int>(code) : -1;
        m_ended = true;
    }
    return !m_ended;
}

int ChildProcess::wait() {
    if (m_handles->input != nullptr) {
        CloseHandle(m_handles->input);
        m_handles->input = nullptr;
    }
    if (!m_ended) {
        WaitForSingleObject(m_handles->process, INFINITE);
        running();
    }
    return m_exit;
}

}  // namespace kavrin::test
