// Writes the seed inputs of fuzz_journal and fuzz_claim: the journals and claims real commits
// leave in a database folder when the process dies at each of their steps, whole or torn, so
// that the fuzzers start from what the code writes rather than from hand-made guesses.
//
//   fuzz_seeds <journal folder> <claim folder>
//
// Each distinct content becomes one file named after its hash; files already there stay.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/DatabaseBuilder.h"
#include "common/FaultyFileSystem.h"
#include "common/FixedClock.h"
#include "common/MemoryFileSystem.h"
#include "dbformat/ClaimFormat.h"
#include "dbformat/JournalFormat.h"
#include "engine/MaintenanceEngine.h"
#include "fuzz/FuzzView.h"

namespace {

using namespace kavrin;
using Bytes = std::vector<std::uint8_t>;

// A database worth a commit: a few nodes, two of them duplicates, installs and titles, and one
// file spelled in capitals as a share may hold it.
test::MemoryFileSystem sampleDisk(test::MemoryFileSystem::Case names, int nodes) {
    test::DatabaseBuilder db;
    const std::uint32_t title = db.addTitle(1);
    db.addTitle(2);
    for (int i = 0; i < nodes; ++i) {
        const std::uint32_t node =
            db.addNode("NODE-" + std::to_string(i % 3 == 2 ? 1 : i), 0, 44000.0 + 100.0 * i);
        db.addInstall(node, title);
    }
    test::MemoryFileSystem fs(names);
    fs.createDirectories("/db");
    db.write(fs, "/db");
    if (names == test::MemoryFileSystem::Case::Ignored) {
        fs.files["/db/KAVRIN.IST"] = fs.files.at("/db/Kavrin.ist");
        fs.files.erase("/db/Kavrin.ist");
    }
    return fs;
}

// Opens, marks the duplicates and the old nodes, and commits: the operations a real session
// runs before the claim and the journal are written. With `backupFirst`, a backup of the same
// second is there already and the commit names its own "-2".
void commit(FileSystem& fs, Clock& clock, bool backupFirst) {
    fuzz::FuzzView view;
    MaintenanceEngine engine(view, fs, clock);
    engine.OpenDatabase();
    if (backupFirst) {
        engine.BackupDatabase();
    }
    engine.FixDuplicates();
    engine.MarkNodesOlderThan(44150.0);
    engine.CommitDatabase();
}

struct Collector {
    std::set<Bytes> journals;
    std::set<Bytes> claims;

    void take(const test::MemoryFileSystem& fs) {
        for (const auto& [path, bytes] : fs.files) {
            if (path.ends_with(kJournalName) || path.ends_with(kJournalTemporaryName)) {
                journals.insert(bytes);
            } else if (path.ends_with(kClaimName)) {
                claims.insert(bytes);
            }
        }
    }
};

// Every crash point of a commit, with whole writes and with torn ones.
void crashEverywhere(test::MemoryFileSystem::Case names, int nodes, bool backupFirst,
                     const LocalTime& at, Collector& out) {
    for (const bool tear : {false, true}) {
        for (int n = 0;; ++n) {
            test::MemoryFileSystem disk = sampleDisk(names, nodes);
            test::FixedClock clock(at);
            test::FaultyFileSystem fs(disk);
            fs.crashAfter(n, tear);
            bool crashed = false;
            try {
                commit(fs, clock, backupFirst);
            } catch (const test::SimulatedCrash&) {
                crashed = true;
            }
            out.take(disk);
            if (!crashed) {
                break;
            }
        }
    }
}

std::uint64_t fnv1a(const Bytes& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const std::uint8_t b : bytes) {
        hash = (hash ^ b) * 0x100000001b3u;
    }
    return hash;
}

bool writeAll(const std::set<Bytes>& contents, const std::string& folder, const char* prefix) {
    for (const Bytes& bytes : contents) {
        char name[64];
        std::snprintf(name, sizeof name, "%s-%016llx", prefix,
                      static_cast<unsigned long long>(fnv1a(bytes)));
        std::ofstream file(folder + "/" + name, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        if (!file.flush()) {
            std::fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), name);
            return false;
        }
    }
    std::printf("%zu %s seeds in %s\n", contents.size(), prefix, folder.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <journal folder> <claim folder>\n", argv[0]);
        return 2;
    }
    Collector found;
    using Case = test::MemoryFileSystem::Case;
    crashEverywhere(Case::Sensitive, 5, false, {2026, 12, 9, 10, 30, 15, 0}, found);
    crashEverywhere(Case::Ignored, 40, true, {1999, 1, 1, 0, 0, 0, 0}, found);
    crashEverywhere(Case::Sensitive, 1, false, {9999, 12, 31, 23, 59, 59, 999}, found);
    if (found.journals.empty() || found.claims.empty()) {
        std::fprintf(stderr, "no commit left a journal or a claim behind\n");
        return 1;
    }
    return writeAll(found.journals, argv[1], "journal") && writeAll(found.claims, argv[2], "claim")
               ? 0
               : 1;
}
