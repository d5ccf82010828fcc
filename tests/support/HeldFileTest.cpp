// The claim operations of the file layer, the same cases for every back end: what the commit's
// one-at-a-time claim relies on.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/MemoryFileSystem.h"
#include "common/TempFolder.h"
#include "support/Errors.h"
#include "support/FileSystem.h"

namespace kavrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

enum class Backend { Memory, Local };

class HeldFileTest : public ::testing::TestWithParam<Backend> {
protected:
    FileSystem& fs() { return GetParam() == Backend::Memory ? m_memory : localFileSystem(); }
    std::string path(const std::string& name) const {
        return GetParam() == Backend::Memory ? "/" + name : m_folder.file(name);
    }
    Bytes read(const std::string& p) {
        const FileBytes bytes = fs().readFile(p);
        return Bytes(bytes.data.get(), bytes.data.get() + bytes.size);
    }

private:
    MemoryFileSystem m_memory;
    TempFolder m_folder;
};

TEST_P(HeldFileTest, OneCreatorHoldsTheFileUntilItGoes) {
    const std::string claim = path("Kavrin.claim");
    const Bytes mine = {'m', 'i', 'n', 'e'};
    EXPECT_EQ(fs().holdState(claim), HoldState::Unknown);  // nothing there

    std::unique_ptr<HeldFile> held = fs().createExclusive(claim, mine);
    ASSERT_TRUE(held);
    EXPECT_EQ(read(claim), mine);
    EXPECT_EQ(fs().holdState(claim), HoldState::Held);
    EXPECT_FALSE(fs().createExclusive(claim, Bytes{'x'}));  // the second creator
    EXPECT_FALSE(fs().takeOver(claim, mine, Bytes{'x'}));   // held: not to be taken over
    EXPECT_EQ(read(claim), mine);

    // The holder ends without removing it, as a process that dies: the file stays, unheld.
    held.reset();
    EXPECT_EQ(fs().holdState(claim), HoldState::Free);
    EXPECT_FALSE(fs().takeOver(claim, Bytes{'o', 't', 'h', 'e', 'r'}, Bytes{'x'}));
    const Bytes next = {'n', 'e', 'x', 't'};
    held = fs().takeOver(claim, mine, next);
    ASSERT_TRUE(held);
    EXPECT_EQ(read(claim), next);
    EXPECT_EQ(fs().holdState(claim), HoldState::Held);
    EXPECT_FALSE(fs().takeOver(claim, next, Bytes{'x'}));

    held->remove();
    EXPECT_FALSE(fs().status(claim).exists);
    held.reset();
    EXPECT_FALSE(fs().takeOver(claim, next, Bytes{'x'}));  // gone
    EXPECT_TRUE(fs().createExclusive(claim, mine));
}

// A holder whose file was removed by hand and created again by another removes only its own.
TEST_P(HeldFileTest, AHolderRemovesOnlyItsOwnFile) {
    const std::string claim = path("Kavrin.claim");
    std::unique_ptr<HeldFile> first = fs().createExclusive(claim, Bytes{'1'});
    ASSERT_TRUE(first);
    fs().remove(claim);
    std::unique_ptr<HeldFile> second = fs().createExclusive(claim, Bytes{'2'});
    ASSERT_TRUE(second);

    first->remove();
    first.reset();

    EXPECT_EQ(read(claim), Bytes{'2'});
    EXPECT_EQ(fs().holdState(claim), HoldState::Held);
}

TEST_P(HeldFileTest, ACreationThatCannotBeMadeSaysWhere) {
    const std::string claim = path("missing/Kavrin.claim");
    try {
        (void)fs().createExclusive(claim, Bytes{'x'});
        ADD_FAILURE() << "created in a folder that does not exist";
    } catch (const KavrinError& e) {
        EXPECT_NE(std::string(e.what()).find("Cannot create file \"" + claim + "\""),
                  std::string::npos)
            << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, HeldFileTest, ::testing::Values(Backend::Memory, Backend::Local),
                         [](const ::testing::TestParamInfo<Backend>& param) {
                             return param.param == Backend::Memory ? "InMemory" : "Local";
                         });

}  // namespace
}  // namespace kavrin::test
