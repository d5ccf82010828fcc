#include "dbformat/ClaimFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavrin::test {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(ClaimFormatTest, WhatIsWrittenIsReadBackAndNothingElse) {
    Claim claim{"SRV-1.example", 4294967296, {2024, 8, 2, 5, 3, 9, 999}};
    const std::string text = encodeClaim(claim);
    EXPECT_EQ(text,
              "Kavrin commit claim 1\ncomputer SRV-1.example\nprocess 4294967296\n"
              "time 2024-08-02 05:03:09\n");
    const Claim back = decodeClaim(bytesOf(text));
    EXPECT_EQ(back.computer, claim.computer);
    EXPECT_EQ(back.processId, claim.processId);
    EXPECT_EQ(claimTimeText(back.time), "2024-08-02 05:03:09");

    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string damaged = text;
        return damaged.replace(damaged.find(from), from.size(), to);
    };
    struct Case {
        std::string text;
        const char* message;
    };
    for (const Case& c : std::vector<Case>{
             {"", "empty or torn"},
             {text.substr(0, text.size() - 5), "empty or torn"},
             {text + "extra\n", "5 lines instead of 4"},
             {replaced("claim 1", "claim 2"), "line 1:"},
             {replaced("computer SRV-1.example", "computer "), "line 2:"},
             {replaced("SRV-1", "SRV\x01"), "line 2:"},
             {replaced("process 4294967296", "process -1"), "line 3:"},
             {replaced("process 4294967296", "process 99999999999999999999"), "line 3:"},
             {replaced("process 4294967296", "pid 4294967296"), "line 3:"},
             {replaced("05:03:09", "5:03:09"), "line 4:"},
             {replaced("2024-08-02", "2024-13-02"), "line 4:"},
             {replaced("05:03:09", "05:03:60"), "line 4:"},
             {std::string(2000, 'x'), "more than a claim ever does"},
         }) {
        SCOPED_TRACE(c.text);
        try {
            decodeClaim(bytesOf(c.text));
            ADD_FAILURE() << "accepted";
        } catch (const ClaimError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    claim.computer = "two\nlines";
    EXPECT_THROW(encodeClaim(claim), ClaimError);
}

}  // namespace
}  // namespace kavrin::test
