// Arbitrary bytes as the three files of a database: open, list, show every node, fix duplicates,
// mark, preview, compact in memory and commit to an in-memory disk (which checks the files it
// put in place), checking what a written database must always be.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/FixedClock.h"
#include "common/MemoryFileSystem.h"
#include "dbformat/Coding.h"
#include "dbformat/Layout.h"
#include "dbformat/Records.h"
#include "engine/MaintenanceEngine.h"
#include "engine/commit/Compaction.h"
#include "fuzz/FuzzMemory.h"
#include "fuzz/FuzzView.h"

namespace {

using namespace kavrin;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

struct Quiet : CompactionReporter {
    void setPosition(int percent) override { check(percent >= 0 && percent <= 100); }
    void pump() override {}
    void titlePassStarting() override {}
};

// Every install of a compacted install body names a written node and is live; its title is a
// written title or a reference that named no title before.
void checkCompacted(const CompactedBodies& out, std::uint64_t oldTitleBytes) {
    const std::uint64_t nodes = out.NewNodesMS.size();
    const std::uint64_t titles = out.NewTitlesMS.size();
    const std::uint64_t installs = out.NewInstallsMS.size();
    check(nodes % node::kSize == 0 && titles % title::kSize == 0 && installs % install::kSize == 0);
    const std::uint64_t wholeOldTitles = oldTitleBytes / title::kSize * title::kSize;
    for (std::uint64_t p = 0; p < installs; p += install::kSize) {
        const std::uint8_t* r = out.NewInstallsMS.data() + p;
        check(installState(r) == 0);
        const std::uint32_t nodeRef = installNodeRef(r);
        check(nodeRef % node::kSize == 0 && nodeRef < nodes);
        const std::uint32_t titleRef = installTitleRef(r);
        const bool written = titleRef % title::kSize == 0 && titleRef < titles;
        const bool namedNoTitle = titleRef % title::kSize != 0 || titleRef >= wholeOldTitles;
        check(written || namedNoTitle);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) {
        return 0;
    }
    // Two lengths, a flags byte and a marking stride, then the three files one after another.
    // Flags: 1 a valid type and version, 2 the install file's name in capitals, 4 mark the nodes
    // not online since a date, 8 a commit without the memory it needs; the lowest two bits also
    // choose the column the list is sorted by.
    const std::size_t nodeLength = decodeFixed16(data);
    const std::size_t installLength = data[2] * 16u;
    const std::uint8_t flags = data[3];
    const std::uint8_t stride = data[4];
    const std::uint8_t* p = data + 5;
    std::size_t left = size - 5;
    auto take = [&](std::size_t n) {
        n = std::min(n, left);
        std::vector<std::uint8_t> bytes(p, p + n);
        p += n;
        left -= n;
        return bytes;
    };
    std::vector<std::uint8_t> nodeFile = take(nodeLength);
    std::vector<std::uint8_t> installFile = take(installLength);
    std::vector<std::uint8_t> titleFile = take(left);
    if ((flags & 1) != 0 && nodeFile.size() >= 8) {
        encodeFixed32(nodeFile.data(), 1);  // a valid type and version reach the deeper code
        encodeFixed32(nodeFile.data() + 4, 2);
    }

    test::MemoryFileSystem fs;
    fs.createDirectories("/db");
    fs.files["/db/Kavrin.cmp"] = std::move(nodeFile);
    fs.files[(flags & 2) != 0 ? "/db/KAVRIN.IST" : "/db/Kavrin.ist"] = std::move(installFile);
    fs.files["/db/Kavrin.ttl"] = std::move(titleFile);

    fuzz::FuzzView view;
    test::FixedClock clock({2026, 12, 9, 10, 30, 15, 0});
    MaintenanceEngine engine(view, fs, clock);
    engine.CloseDatabase();
    engine.OpenDatabase();
    if (!engine.context().IsOpen) {
        check(!view.errors.empty());
        return 0;
    }
    const NodeList& list = engine.nodeList();
    const std::uint64_t nodeBody = engine.context().NodesMS.size();
    check(list.count() <= nodeBody / node::kSize);
    for (std::size_t i = 0; i < list.count(); ++i) {
        check(list.row(i).data % node::kSize == 0 && list.row(i).data + node::kSize <= nodeBody);
        view.selection = {i};
        engine.ShowSelectedNodeDetails();
        check(view.lines[static_cast<std::size_t>(LineList::NodeStats)].size() == 13);
    }
    engine.NodesLVColumnClick(flags % 4);
    engine.FixDuplicates();
    view.selection.clear();
    for (std::size_t i = 0; stride != 0 && i < list.count(); i += stride) {
        view.selection.insert(i);
    }
    engine.MarkSelectedNodes(true);
    if ((flags & 4) != 0) {
        engine.MarkNodesOlderThan(45000.0);
    }

    std::vector<CompactionEntry> entries;
    std::size_t kept = 0;
    for (const NodeEntry& e : list.rows()) {
        entries.push_back({e.data, e.marked()});
        kept += e.marked() ? 0 : 1;
    }
    Quiet quiet;
    const DatabaseContext& ctx = engine.context();
    CompactedBodies out = compactBodies(ctx.NodesMS.span(), ctx.InstallsMS.span(),
                                        ctx.TitlesMS.span(), entries, quiet);
    check(out.NewNodesMS.size() == kept * node::kSize);
    checkCompacted(out, ctx.TitlesMS.size());
    // The preview counts what the compaction builds, without building it.
    const CommitPreview preview = engine.PreviewCommit();
    check(preview.after[kNodeFile].records * node::kSize == out.NewNodesMS.size());
    check(preview.after[kInstallFile].records * install::kSize == out.NewInstallsMS.size());
    check(preview.after[kTitleFile].records * title::kSize == out.NewTitlesMS.size());

    if ((flags & 8) != 0) {
        // Refused before anything is written.
        fuzz::setMemoryHeadroom(1024 * 1024);
        const auto before = fs.files;
        engine.CommitDatabase();
        fuzz::setMemoryHeadroom(std::uint64_t{8} << 30);
        check(!view.errors.empty() &&
              view.errors.back().starts_with("Not enough memory for the commit") &&
              fs.files == before);
        return 0;
    }

    // The same through the disk: the commit writes exactly those bodies behind the node header.
    engine.CommitDatabase();
    if (!view.errors.empty()) {
        // The check of the files put in place finds them as written, whatever went in.
        check(view.errors.back().find("The check of the rewritten database failed") ==
              std::string::npos);
        return 0;
    }
    const std::vector<std::uint8_t>& written = fs.files.at("/db/Kavrin.cmp");
    check(written.size() == header::kSize + out.NewNodesMS.size());
    check(std::equal(out.NewNodesMS.data(), out.NewNodesMS.data() + out.NewNodesMS.size(),
                     written.begin() + header::kSize));
    check(fs.files.at("/db/Kavrin.ttl").size() == header::kSize + out.NewTitlesMS.size());
    view.errors.clear();
    engine.OpenDatabase();
    check(engine.context().IsOpen && engine.nodeList().count() == kept);
    return 0;
}
