// The engine's hot loops at the sizes the tool must handle, on generated databases held in
// memory: what the command-line timings of bench/run.sh are made of.
//
// Sizes (first argument): 0 = S (1,000 nodes x 20 installs), 1 = M (20,000 x 50),
// 2 = L (100,000 x 100, 20,000 titles; about 210 MB).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <streambuf>
#include <string>
#include <vector>

#include "cli/ConsoleView.h"
#include "dbformat/Coding.h"
#include "dbformat/Layout.h"
#include "dbformat/Records.h"
#include "engine/MaintenanceEngine.h"
#include "engine/commit/Compaction.h"
#include "generator/Generator.h"
#include "support/platform/Errors.h"

namespace kavrin {
namespace {

struct SizeSpec {
    const char* name;
    std::uint32_t nodes;
    std::uint32_t installsPerNode;
    std::uint32_t titles;
};

constexpr SizeSpec kSizes[] = {
    {"S", 1000, 20, 500}, {"M", 20000, 50, 5000}, {"L", 100000, 100, 20000}};

// The databases, generated once per size and duplicate rate and kept for the whole run.
const GeneratedDatabase& database(std::int64_t size, double duplicateRate = 0.02) {
    static std::map<std::pair<std::int64_t, double>, std::unique_ptr<GeneratedDatabase>> cache;
    auto& slot = cache[{size, duplicateRate}];
    if (!slot) {
        const SizeSpec& shape = kSizes[size];
        GeneratorOptions options;
        options.nodes = shape.nodes;
        options.installsPerNode = shape.installsPerNode;
        options.titles = shape.titles;
        options.seed = 42;
        options.duplicateRate = duplicateRate;
        slot = std::make_unique<GeneratedDatabase>(generateDatabase(options));
    }
    return *slot;
}

// A whole file in memory taken as the file layer takes it (huge pages where the system gives them).
FileBytes fileImage(const DatabaseHeader& header, const FileBytes& body) {
    FileBytes bytes = allocateFileBytes(header::kSize + body.size);
    std::memcpy(bytes.data.get(), header.bytes.data(), header::kSize);
    std::memcpy(bytes.data.get() + header::kSize, body.data.get(), body.size);
    return bytes;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Serves the three files of one generated database under the folder "db". A read either copies
// the file into fresh memory, as reading the disk does, or hands over an image prepared outside
// the timed region, so that a benchmark can leave the load out.
class BenchFileSystem final : public FileSystem, public FileClaims {
public:
    explicit BenchFileSystem(const GeneratedDatabase& db) : m_db(db) {}

    void prepareImages() {
        m_prepared["db/kavrin.cmp"] = fileImage(m_db.nodeHeader, m_db.nodes);
        m_prepared["db/kavrin.ist"] = fileImage(m_db.installHeader, m_db.installs);
        m_prepared["db/kavrin.ttl"] = fileImage(m_db.titleHeader, m_db.titles);
    }

    FileStatus status(const std::string& path) override {
        // The size of the whole file: the open checks that what it read is the file it saw.
        FileStatus s;
        const FileBytes* found = body(path);
        s.exists = found != nullptr;
        s.size = found != nullptr ? header::kSize + found->size : 0;
        return s;
    }
    std::vector<std::string> listDirectory(const std::string&) override { return {}; }
    FileBytes readWholeFile(const std::string& path) override {
        if (auto it = m_prepared.find(lower(path)); it != m_prepared.end()) {
            FileBytes bytes = std::move(it->second);
            m_prepared.erase(it);
            return bytes;
        }
        const std::string key = lower(path);
        if (key == "db/kavrin.cmp") {
            return fileImage(m_db.nodeHeader, m_db.nodes);
        }
        if (key == "db/kavrin.ist") {
            return fileImage(m_db.installHeader, m_db.installs);
        }
        if (key == "db/kavrin.ttl") {
            return fileImage(m_db.titleHeader, m_db.titles);
        }
        throw KavrinError("Cannot open file \"" + path + "\". No such file");
    }
    void writeWholeFile(const std::string&, std::span<const std::span<const std::uint8_t>>,
                        bool) override {}
    void rename(const std::string&, const std::string&) override {}
    void remove(const std::string&) override {}
    void createDirectories(const std::string&) override {}
    bool createDirectory(const std::string&) override { return true; }
    void syncDirectory(const std::string&) override {}
    // Holds nothing: nothing is committed through it.
    FileClaims& claims() override { return *this; }
    std::unique_ptr<HeldFile> createExclusive(const std::string&,
                                              std::span<const std::uint8_t>) override {
        return nullptr;
    }
    HoldState holdState(const std::string&) override { return HoldState::Unknown; }
    std::unique_ptr<HeldFile> takeOver(const std::string&, std::span<const std::uint8_t>,
                                       std::span<const std::uint8_t>) override {
        return nullptr;
    }

private:
    const FileBytes* body(const std::string& path) const {
        const std::string key = lower(path);
        if (key == "db/kavrin.cmp") {
            return &m_db.nodes;
        }
        if (key == "db/kavrin.ist") {
            return &m_db.installs;
        }
        return key == "db/kavrin.ttl" ? &m_db.titles : nullptr;
    }

    const GeneratedDatabase& m_db;
    std::map<std::string, FileBytes> m_prepared;
};

// Swallows the log lines.
class NullBuffer final : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
};

// An engine over one generated database, as the command line drives it.
struct Session {
    explicit Session(const GeneratedDatabase& db, Answer fixDuplicates = Answer::No)
        : fs(db), log(&buffer), view(log, false, "db"), engine(view, fs) {
        view.fixDuplicatesAnswer = fixDuplicates;
    }
    NullBuffer buffer;
    BenchFileSystem fs;
    std::ostream log;
    cli::ConsoleView view;
    MaintenanceEngine engine;
};

void labelSize(benchmark::State& state) {
    state.SetLabel(kSizes[state.range(0)].name);
}

// Every node and install record visited in place, as each walk of a body does: the least a pass
// over the database can cost once it is in memory.
void BM_BodyWalk(benchmark::State& state) {
    const GeneratedDatabase& db = database(state.range(0));
    for (auto _ : state) {
        std::uint64_t active = 0;
        for (std::size_t p = 0; p + node::kSize <= db.nodes.size; p += node::kSize) {
            active += NodeRecordView(db.nodes.data.get() + p).inactive() == 0 ? 1 : 0;
        }
        std::uint64_t refs = 0;
        for (std::size_t p = 0; p + install::kSize <= db.installs.size; p += install::kSize) {
            refs += installNodeRef(db.installs.data.get() + p);
        }
        benchmark::DoNotOptimize(active);
        benchmark::DoNotOptimize(refs);
    }
    state.SetItemsProcessed(
        static_cast<std::int64_t>(state.iterations()) *
        static_cast<std::int64_t>(db.nodes.size / node::kSize + db.installs.size / install::kSize));
    labelSize(state);
}
BENCHMARK(BM_BodyWalk)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// The whole open: load (a copy into fresh memory), statistics, node list with duplicate
// detection, the two sorts at its end.
void BM_OpenDatabase(benchmark::State& state) {
    const GeneratedDatabase& db = database(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto session = std::make_unique<Session>(db);
        state.ResumeTiming();
        session->engine.OpenDatabase();
        state.PauseTiming();
        if (!session->engine.context().IsOpen) {
            state.SkipWithError("the open failed");
        }
        session.reset();
        state.ResumeTiming();
    }
    labelSize(state);
}
BENCHMARK(BM_OpenDatabase)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// The open without the load: the files are already in memory, so what is timed is the node list
// build, duplicate detection included, and the sorts. Second argument: duplicates per thousand
// named records.
void BM_NodeListBuild(benchmark::State& state) {
    const GeneratedDatabase& db =
        database(state.range(0), static_cast<double>(state.range(1)) / 1000.0);
    for (auto _ : state) {
        state.PauseTiming();
        auto session = std::make_unique<Session>(db);
        session->fs.prepareImages();
        state.ResumeTiming();
        session->engine.OpenDatabase();
        state.PauseTiming();
        session.reset();
        state.ResumeTiming();
    }
    labelSize(state);
}
BENCHMARK(BM_NodeListBuild)
    ->Args({0, 20})
    ->Args({1, 20})
    ->Args({2, 20})
    ->Args({2, 0})
    ->Args({2, 300})
    ->Unit(benchmark::kMillisecond);

// A click on a column header of the L list (100,000 rows): a full sort of the rows.
void BM_Sort(benchmark::State& state) {
    Session session(database(2));
    session.engine.OpenDatabase();
    for (auto _ : state) {
        session.engine.NodesLVColumnClick(static_cast<int>(state.range(0)));
    }
    state.SetLabel(std::to_string(session.engine.nodeList().count()) + " rows");
}
BENCHMARK(BM_Sort)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// FixDuplicates over the list the open left (sorted by "Unique"). Second argument: duplicates per
// thousand named records.
void BM_FixDuplicates(benchmark::State& state) {
    Session session(database(state.range(0), static_cast<double>(state.range(1)) / 1000.0));
    session.engine.OpenDatabase();
    NodeList& nodes = session.engine.nodeList();
    for (auto _ : state) {
        state.PauseTiming();
        for (std::size_t i = 0; i < nodes.count(); ++i) {
            nodes.setIcon(i, kIconLive);
        }
        state.ResumeTiming();
        session.engine.FixDuplicates();
    }
    labelSize(state);
}
BENCHMARK(BM_FixDuplicates)
    ->Args({0, 20})
    ->Args({1, 20})
    ->Args({2, 20})
    ->Args({2, 300})
    ->Unit(benchmark::kMillisecond);

// The install count of the first node details shown after an open (one pass over the installs),
// then of every later one.
void BM_InstallCountFirst(benchmark::State& state) {
    const GeneratedDatabase& db = database(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto session = std::make_unique<Session>(db);
        session->engine.context().NodesMS.adopt(fileImage(db.nodeHeader, db.nodes), header::kSize);
        session->engine.context().InstallsMS.adopt(fileImage(db.installHeader, db.installs),
                                                   header::kSize);
        state.ResumeTiming();
        benchmark::DoNotOptimize(session->engine.InstallCount(765));
        state.PauseTiming();
        session.reset();
        state.ResumeTiming();
    }
    labelSize(state);
}
BENCHMARK(BM_InstallCountFirst)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_InstallCountLater(benchmark::State& state) {
    Session session(database(state.range(0)));
    session.engine.OpenDatabase();
    const NodeList& nodes = session.engine.nodeList();
    std::size_t row = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(session.engine.InstallCount(nodes.row(row).data));
        row = row + 1 == nodes.count() ? 0 : row + 1;
    }
    labelSize(state);
}
BENCHMARK(BM_InstallCountLater)->DenseRange(0, 2);

class SilentReporter final : public CompactionReporter {
public:
    void setPosition(int) override {}
    void pump() override {}
    void titlePassStarting() override {}
};

// The node and title passes of a commit, every tenth entry marked.
void BM_Compaction(benchmark::State& state) {
    Session session(database(state.range(0)));
    session.engine.OpenDatabase();
    const DatabaseContext& ctx = session.engine.context();
    std::vector<CompactionEntry> entries;
    for (const NodeEntry& entry : session.engine.nodeList().rows()) {
        entries.push_back({entry.data, entries.size() % 10 == 0});
    }
    SilentReporter reporter;
    for (auto _ : state) {
        CompactedBodies bodies = compactBodies(ctx.NodesMS.span(), ctx.InstallsMS.span(),
                                               ctx.TitlesMS.span(), entries, reporter);
        benchmark::DoNotOptimize(bodies.NewInstallsMS.size());
    }
    labelSize(state);
}
BENCHMARK(BM_Compaction)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// The same passes over installs interleaved record by record, each node's spread over the whole
// body (20,000 nodes, 1,000,000 installs of random nodes and titles, every other node marked):
// taken a window of nodes at a time, well under a second where a pass over the installs per node
// would take minutes.
void BM_CompactionInterleaved(benchmark::State& state) {
    constexpr std::uint32_t kNodes = 20000;
    constexpr std::uint32_t kInstalls = 1000000;
    constexpr std::uint32_t kTitles = 5000;
    std::vector<std::uint8_t> nodes(std::size_t{kNodes} * node::kSize, 0x41);
    std::vector<CompactionEntry> entries;
    for (std::uint32_t i = 0; i < kNodes; ++i) {
        nodes[std::size_t{i} * node::kSize + node::kNodeName] = 3;
        entries.push_back({i * static_cast<std::uint32_t>(node::kSize), i % 2 == 0});
    }
    std::vector<std::uint8_t> titles(std::size_t{kTitles} * title::kSize, 3);
    std::vector<std::uint8_t> installs(std::size_t{kInstalls} * install::kSize, 0);
    std::mt19937 rng(7);
    for (std::uint32_t j = 0; j < kInstalls; ++j) {
        std::uint8_t* r = &installs[std::size_t{j} * install::kSize];
        encodeFixed32(r + install::kNodeRef,
                      static_cast<std::uint32_t>(rng() % kNodes * node::kSize));
        encodeFixed32(r + install::kTitleRef,
                      static_cast<std::uint32_t>(rng() % kTitles * title::kSize));
    }
    SilentReporter reporter;
    for (auto _ : state) {
        CompactedBodies bodies = compactBodies(nodes, installs, titles, entries, reporter);
        benchmark::DoNotOptimize(bodies.NewInstallsMS.size());
    }
}
BENCHMARK(BM_CompactionInterleaved)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kavrin

BENCHMARK_MAIN();
