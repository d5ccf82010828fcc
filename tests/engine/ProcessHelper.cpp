// A second program for the tests that need one: another instance of the tool committing the same
// database, or a server appending to the database files while the tool reads them.
//
//   kavrin_process_helper append FOLDER COUNT PAUSE_US
//       appends COUNT node records to FOLDER/Kavrin.cmp, each followed by an install of it in
//       FOLDER/Kavrin.ist, PAUSE_US microseconds apart, as the server adds nodes
//   kavrin_process_helper commit FOLDER NODE
//       reads commands from standard input, one a line, and answers each on standard output:
//       "open" opens the database and marks NODE ("ready", or "failed <message>");
//       "commit US" waits US microseconds and commits ("committed", or "refused <message>");
//       "pid" answers its process id; "quit" ends. Line breaks in a message are sent as blanks.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "common/DatabaseBuilder.h"
#include "common/MemoryView.h"
#include "engine/MaintenanceEngine.h"
#include "support/fs/Paths.h"
#include "support/platform/Process.h"
#include "support/platform/SystemHelpers.h"

namespace {

using kavrin::test::DatabaseBuilder;

bool append(std::ofstream& file, const std::vector<std::uint8_t>& bytes) {
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file.flush());
}

int append(const std::string& folder, int count, int pauseMicros) {
    const auto mode = std::ios::binary | std::ios::app;
    std::ofstream nodes;
    std::ofstream installs;
    // Where a file being read cannot be opened for writing (Windows), the server tries again.
    for (int attempt = 0; attempt < 1000 && !(nodes.is_open() && installs.is_open()); ++attempt) {
        if (!nodes.is_open()) {
            nodes.clear();
            nodes.open(kavrin::joinPath(folder, "Kavrin.cmp"), mode);
        }
        if (!installs.is_open()) {
            installs.clear();
            installs.open(kavrin::joinPath(folder, "Kavrin.ist"), mode);
        }
        if (!(nodes.is_open() && installs.is_open())) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!nodes.is_open() || !installs.is_open()) {
        std::perror("open");
        return 1;
    }
    for (int k = 0; k < count; ++k) {
        nodes.seekp(0, std::ios::end);
        const auto end = static_cast<std::uint32_t>(nodes.tellp());
        DatabaseBuilder install;
        install.addInstall(end - 230, 0);
        if (!append(nodes, DatabaseBuilder::nodeRecord({"ADDED" + std::to_string(k)})) ||
            !append(installs, install.installs)) {
            std::perror("write");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pauseMicros));
    }
    return 0;
}

std::string oneLine(std::string text) {
    for (char& c : text) {
        c = c == '\r' || c == '\n' ? ' ' : c;
    }
    return text;
}

int commit(const std::string& folder, const std::string& node) {
    kavrin::test::MemoryView view;
    view.location = folder;
    kavrin::MaintenanceEngine engine(view);
    std::string command;
    while (std::cin >> command) {
        view.errors.clear();
        if (command == "open") {
            if (engine.HasPendingChanges()) {
                view.answers.push_back(kavrin::Answer::No);  // a refused commit kept its marks
            }
            engine.OpenDatabase();
            const auto row = engine.nodeList().findCaption(node, 0, true);
            if (!engine.context().IsOpen || !row) {
                std::cout << "failed "
                          << oneLine(view.errors.empty() ? "no " + node : view.errors[0])
                          << std::endl;
                continue;
            }
            engine.nodeList().setIcon(*row, kavrin::kIconMarked);
            std::cout << "ready" << std::endl;
        } else if (command == "pid") {
            std::cout << kavrin::currentProcessId() << std::endl;
        } else if (command == "commit") {
            long micros = 0;
            std::cin >> micros;
            std::this_thread::sleep_for(std::chrono::microseconds(micros));
            engine.CommitDatabase();
            if (view.errors.empty()) {
                std::cout << "committed" << std::endl;
            } else {
                std::cout << "refused " << oneLine(view.errors[0]) << std::endl;
            }
        } else {
            return 0;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = kavrin::consoleProgramArguments(argc, argv);
    if (args.size() == 4 && args[0] == "append") {
        return append(args[1], std::atoi(args[2].c_str()), std::atoi(args[3].c_str()));
    }
    if (args.size() == 3 && args[0] == "commit") {
        return commit(args[1], args[2]);
    }
    std::cerr << "usage: kavrin_process_helper append FOLDER COUNT PAUSE_US | commit FOLDER NODE\n";
    return 2;
}
