#include <algorithm>
#include <functional>
#include <set>

#include "common/DatabaseBuilder.h"
#include "engine/EngineFixture.h"
#include "engine/commit/CommitClaim.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"

namespace kavrin {
namespace {

using test::DatabaseBuilder;
using test::readFileBytes;
using test::writeFileBytes;

// A rules file's text against a name: the rule that protects it ("" none), or the line the file
// is refused at.
struct RulesCase {
    const char* text;
    const char* name;  // code-page bytes, as the database holds names
    const char* rule;  // the pattern expected to protect `name`; "" for none
    int badLine;       // the line named by the refusal; 0 when the file is good
};

TEST(ProtectionRulesTest, PatternsAndLines) {
    const RulesCase cases[] = {
        {"SRV-*\n", "srv-01", "SRV-*", 0},
        {"SRV-*\n", "XSRV-01", "", 0},
        {"DC??\n", "dc01", "DC??", 0},
        {"DC??\n", "DC1", "", 0},
        {"A*B*C\n", "AxxBxxC", "A*B*C", 0},
        {"A*B*C\n", "AxxBxxCx", "", 0},
        {"*\n", "", "*", 0},
        {"# servers\n\n \t \nPC1\tkept\nPC1*\n", "pc1", "PC1", 0},
        {"\xEF\xBB\xBFPC1\r\nPC2\r\n", "pc2", "PC2", 0},  // a byte-order mark and CRLF
        {"PC3", "PC3", "PC3", 0},                         // no line end at the end
        {"\xC3\xA9*\n", "\xC9X", "\xC3\xA9*", 0},         // é* folds as names do: ÉX
        {"\xC3\xA9*\n", "eX", "", 0},
        {"a?b\n", "a?b", "a?b", 0},
        {"PC1\nSRV-* rarely on\n", "", "", 2},  // a blank: the reason belongs after a TAB
        {"PC1\n\tno pattern\n", "", "", 2},
        {"\xFF\xFE\n", "", "", 1},       // not UTF-8
        {"PC1\tone\ttwo\n", "", "", 1},  // a TAB in the reason
        {"PC\x01\n", "", "", 1},         // a control character
        {"\xE6\x97\xA5*\n", "", "", 1},  // no node name can hold it
        {"#ok\nPC1\nPC2\n\xE6\x97\xA5\n", "", "", 4},
    };
    for (const RulesCase& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.badLine != 0) {
            try {
                (void)ProtectionRules::parse(c.text, "F/Kavrin.protect");
                ADD_FAILURE() << "accepted";
            } catch (const KavrinError& e) {
                EXPECT_NE(std::string(e.what()).find("\"F/Kavrin.protect\""), std::string::npos);
                EXPECT_NE(std::string(e.what()).find("line " + std::to_string(c.badLine) + " "),
                          std::string::npos)
                    << e.what();
            }
            continue;
        }
        const ProtectionRules rules = ProtectionRules::parse(c.text, "F/Kavrin.protect");
        const ProtectionRule* rule = rules.ruleFor(c.name);
        EXPECT_EQ(rule != nullptr ? rule->pattern : std::string(), c.rule);
    }
}

TEST(ProtectionRulesTest, EditingKeepsEveryOtherLine) {
    const std::string text = "# servers\r\nSRV-*\told\r\n\r\nDC??\r\n";
    EXPECT_EQ(withRuleAdded(text, "srv-*", "new"), "# servers\r\nsrv-*\tnew\r\n\r\nDC??\r\n");
    EXPECT_EQ(withRuleAdded("PC1", "PC2", ""), "PC1\nPC2\n");
    EXPECT_EQ(withRuleAdded("", "PC2", "why"), "PC2\twhy\n");
    bool removed = false;
    EXPECT_EQ(withRuleRemoved(text, "dc??", removed), "# servers\r\nSRV-*\told\r\n\r\n");
    EXPECT_TRUE(removed);
    EXPECT_EQ(withRuleRemoved(text, "PC*", removed), text);
    EXPECT_FALSE(removed);
}

// One database, opened twice side by side: without rules, and with them.
struct Side {
    explicit Side(const DatabaseBuilder& db, const std::string& rules) {
        std::locale::global(std::locale::classic());
        db.write(folder.path());
        if (!rules.empty()) {
            writeFileBytes(joinPath(folder.path(), kProtectionName),
                           std::vector<std::uint8_t>(rules.begin(), rules.end()));
        }
        view.location = folder.path();
        engine.CloseDatabase();
        view.answers.push_back(Answer::No);  // the offer to fix duplicates
        EXPECT_TRUE(engine.OpenDatabase().opened);
        view.answers.clear();
    }
    std::set<std::uint32_t> marked() const {
        std::set<std::uint32_t> offsets;
        for (const NodeEntry& entry : engine.nodeList().rows()) {
            if (entry.marked()) {
                offsets.insert(entry.data);
            }
        }
        return offsets;
    }
    void selectAll() {
        view.selection.clear();
        for (std::size_t i = 0; i < engine.nodeList().count(); ++i) {
            view.selection.insert(i);
        }
    }
    std::vector<std::uint8_t> file(const char* name) const {
        return readFileBytes(joinPath(folder.path(), name));
    }

    test::TempFolder folder;
    test::MemoryView view;
    test::FixedClock clock{{2026, 12, 9, 10, 30, 15, 0}};
    MaintenanceEngine engine{view, localFileSystem(), clock};
};

DatabaseBuilder mixedDatabase() {
    DatabaseBuilder db;
    const std::uint32_t t0 = db.addTitle(1);
    const std::uint32_t t1 = db.addTitle(2);
    const struct {
        const char* name;
        std::uint8_t inactive;
        double lastOnline;
    } nodes[] = {
        {"SRV-01", 0, 40000}, {"PC1", 0, 40000},    {"srv-02", 0, 40000}, {"SRV-01", 0, 46000},
        {"pc1", 0, 46000},    {"DC01", 1, 40000},   {"PC2", 0, 46000},    {"dc02", 0, 46000},
        {"Srv-01", 1, 46000}, {"DC01", 0, 40000.5}, {"PC3", 0, 40000},
    };
    std::uint8_t i = 0;
    for (const auto& n : nodes) {
        const std::uint32_t node = db.addNode(n.name, n.inactive, n.lastOnline);
        db.addInstall(node, t0);
        db.addInstall(node, i % 2 == 0 ? t1 : t0, i % 3 == 0 ? 1 : 0);
        ++i;
    }
    return db;
}

// The held-out check: with rules, every marking gives exactly the marks it gives without them
// less the protected nodes, and the commit writes exactly what a commit of those marks writes.
TEST(ProtectionTest, RulesTakeExactlyTheProtectedNodesOutOfEveryMarking) {
    const std::string rules = "# rarely on\nSRV-*\tservers\ndc??\n";
    const std::vector<std::pair<const char*, std::function<void(Side&)>>> markings = {
        {"older than", [](Side& s) { s.engine.MarkNodesOlderThan(45000); }},
        {"duplicates", [](Side& s) { s.engine.FixDuplicates(); }},
        {"by hand",
         [](Side& s) {
             s.selectAll();
             s.engine.MarkSelectedNodes(true);
         }},
        {"all three",
         [](Side& s) {
             s.engine.FixDuplicates();
             s.engine.MarkNodesOlderThan(41000);
             s.view.selection = {6};
             s.engine.MarkSelectedNodes(true);
         }},
    };
    for (const auto& [what, mark] : markings) {
        SCOPED_TRACE(what);
        Side plain(mixedDatabase(), "");
        Side guarded(mixedDatabase(), rules);
        mark(plain);
        mark(guarded);

        std::set<std::uint32_t> expected = plain.marked();
        std::set<std::size_t> protectedRows;
        const NodeList& list = guarded.engine.nodeList();
        for (std::size_t i = 0; i < list.count(); ++i) {
            const NodeEntry& entry = list.row(i);
            if (list.isProtected(entry)) {
                protectedRows.insert(i);
                EXPECT_EQ(list.shownReason(entry),
                          entry.caption.starts_with("d") || entry.caption.starts_with("D")
                              ? "protected by dc??"
                              : "protected by SRV-*");
                if (expected.erase(entry.data) > 0) {
                    EXPECT_TRUE(list.spared(entry));
                }
            }
        }
        EXPECT_EQ(protectedRows.size(), 7u);
        EXPECT_EQ(guarded.marked(), expected);
        EXPECT_FALSE(expected.empty());

        // The same marks by hand on the plain side: the same files, byte for byte.
        plain.view.selection = protectedRows;
        plain.engine.MarkSelectedNodes(false);
        const CommitPreview preview = guarded.engine.PreviewCommit();
        EXPECT_TRUE(preview.protection);
        EXPECT_EQ(previewTotalsLines(preview).back(),
                  "Nodes kept by protection : " + std::to_string(preview.spared.size()));
        ASSERT_EQ(plain.engine.CommitDatabase().outcome, ReplaceResult::Done);
        ASSERT_EQ(guarded.engine.CommitDatabase().outcome, ReplaceResult::Done);
        for (const char* name : {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"}) {
            EXPECT_EQ(guarded.file(name), plain.file(name)) << name;
        }
    }
}

TEST(ProtectionTest, MarkingAProtectedNodeByHandIsRefusedNamingTheRule) {
    Side side(mixedDatabase(), "SRV-*\tservers\n");
    const NodeList& list = side.engine.nodeList();
    const auto select = [&](const std::set<std::string>& names) {
        side.view.selection.clear();
        for (std::size_t i = 0; i < list.count(); ++i) {
            if (names.count(list.row(i).caption) != 0) {
                side.view.selection.insert(i);
            }
        }
    };
    select({"PC1", "srv-02"});
    side.engine.MarkSelectedNodes(true);
    select({"PC3", "SRV-01"});
    side.engine.MarkSelectedNodes(true);
    EXPECT_EQ(side.view.errors,
              (std::vector<std::string>{
                  "srv-02 is protected by SRV-* and cannot be marked.",
                  "SRV-01 is protected by SRV-* and cannot be marked. 1 more selected node is "
                  "protected."}));
    EXPECT_EQ(side.marked().size(), 2u);  // PC1 and PC3, by hand
    for (const NodeEntry& entry : list.rows()) {
        EXPECT_EQ(list.shownReason(entry), entry.marked()            ? "by hand"
                                           : list.isProtected(entry) ? "protected by SRV-*"
                                                                     : "");
    }
}

TEST(ProtectionTest, ABrokenRulesFileRefusesMarkingAndCommitting) {
    const DatabaseBuilder db = mixedDatabase();
    Side side(db, "PC1\nPC2 kept\n");
    const std::string& problem = side.engine.protectionProblem();
    EXPECT_NE(problem.find("Kavrin.protect\" cannot be used: line 2 is not a rule"),
              std::string::npos)
        << problem;
    EXPECT_EQ(side.engine.MarkNodesOlderThan(45000), 0u);
    side.selectAll();
    side.engine.MarkSelectedNodes(true);
    (void)side.engine.FixDuplicates();
    EXPECT_TRUE(side.marked().empty());
    EXPECT_EQ(side.view.errors, std::vector<std::string>(3, problem));
    EXPECT_THROW((void)side.engine.PreviewCommit(), KavrinError);
    const ReplaceResult result = side.engine.CommitDatabase();
    EXPECT_EQ(result.outcome, ReplaceResult::NotDone);
    EXPECT_EQ(result.message, problem);
    EXPECT_EQ(side.file("Kavrin.cmp"), db.nodeFile());
    EXPECT_EQ(side.file("Kavrin.ist"), db.installFile());
}

TEST(ProtectionTest, ARuleAddedUnmarksItsNodesAndIsNeverWrittenUnderACommitsClaim) {
    Side side(mixedDatabase(), "");
    side.engine.MarkNodesOlderThan(45000);
    const std::size_t before = side.marked().size();
    side.engine.AddProtectionRule("pc?", "desks");
    EXPECT_EQ(side.marked().size(), before - 2);  // PC1 and PC3
    EXPECT_EQ(side.view.list(LineList::Log).back(), "Protected : 2 nodes left unmarked");
    const std::string path = joinPath(side.folder.path(), kProtectionName);
    EXPECT_EQ(readFileBytes(path),
              (std::vector<std::uint8_t>{'p', 'c', '?', '\t', 'd', 'e', 's', 'k', 's', '\n'}));
    {
        CommitClaim claim =
            CommitClaim::take(localFileSystem(), side.view, side.clock, side.folder.path());
        EXPECT_THROW(side.engine.AddProtectionRule("SRV-*", ""), KavrinError);
        EXPECT_THROW((void)side.engine.RemoveProtectionRule("pc?"), KavrinError);
        claim.release();
    }
    EXPECT_EQ(side.engine.protectionRules().rules().size(), 1u);
    EXPECT_TRUE(side.engine.RemoveProtectionRule("PC?"));
    EXPECT_TRUE(side.engine.protectionRules().empty());
    EXPECT_TRUE(readFileBytes(path).empty());
    EXPECT_FALSE(localFileSystem().status(path + ".new").exists);
}

}  // namespace
}  // namespace kavrin
