#include "support/text/AnsiText.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace kavrin {
namespace {

std::string allBytes() {
    std::string bytes;
    for (int c = 0; c < 256; ++c) {
        bytes += static_cast<char>(c);
    }
    return bytes;
}

TEST(AnsiTextTest, EveryByteSurvivesTheRoundTripAndMapsToItsOwnCharacter) {
    const std::string bytes = allBytes();
    EXPECT_EQ(utf8ToAnsi(ansiToUtf8(bytes)), bytes);

    std::set<std::string> seen;
    for (int c = 0; c < 256; ++c) {
        const std::string one = ansiToUtf8(std::string(1, static_cast<char>(c)));
        EXPECT_TRUE(seen.insert(one).second) << "byte " << c << " shares its character";
        EXPECT_EQ(utf8ToAnsi(one), std::string(1, static_cast<char>(c))) << "byte " << c;
    }
}

TEST(AnsiTextTest, CodePageCharactersBecomeTheirUnicodeForms) {
    EXPECT_EQ(ansiToUtf8("plain"), "plain");
    EXPECT_EQ(ansiToUtf8("\x80"), "\xE2\x82\xAC");  // euro sign
    EXPECT_EQ(ansiToUtf8("\x8A\x9F"), "\xC5\xA0\xC5\xB8");
    EXPECT_EQ(ansiToUtf8("\x99"), "\xE2\x84\xA2");  // trade mark
    EXPECT_EQ(ansiToUtf8("\xE9\xFF"), "\xC3\xA9\xC3\xBF");
    EXPECT_EQ(ansiToUtf8("\xA0"), "\xC2\xA0");
    // The bytes the code page leaves undefined become the control characters of the same value.
    EXPECT_EQ(ansiToUtf8("\x81\x8D\x8F\x90\x9D"), "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
    EXPECT_EQ(ansiToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(AnsiTextTest, CharactersOutsideTheCodePageBecomeQuestionMarks) {
    EXPECT_EQ(utf8ToAnsi("caf\xC3\xA9"), "caf\xE9");
    EXPECT_EQ(utf8ToAnsi("\xCE\xA9"), "?");              // Greek capital omega
    EXPECT_EQ(utf8ToAnsi("x\xF0\x9F\x98\x80y"), "x?y");  // one emoji, one mark
    EXPECT_EQ(utf8ToAnsi("\xC2\x85"), "?");              // a C1 control the code page lacks
    EXPECT_EQ(utf8ToAnsi("\xC2\x80"), "?");              // ... though 0x80 is a byte value
    EXPECT_EQ(utf8ToAnsi("\xE2\x82\xAC"
                         "5"),
              "\x80"
              "5");
}

TEST(AnsiTextTest, InvalidUtf8IsReplacedWithoutSwallowingWhatFollows) {
    EXPECT_EQ(utf8ToAnsi("a\x80z"), "a?z");      // stray continuation byte
    EXPECT_EQ(utf8ToAnsi("a\xE2\x82z"), "a?z");  // sequence cut short
    EXPECT_EQ(utf8ToAnsi("a\xC3"), "a?");        // cut short by the end
    EXPECT_EQ(utf8ToAnsi("\xF0\x9F\x98"), "?");
    EXPECT_EQ(utf8ToAnsi("\xC0\xAF"), "??");            // overlong '/'
    EXPECT_EQ(utf8ToAnsi("\xE0\x80\xAF"), "???");       // overlong, three bytes
    EXPECT_EQ(utf8ToAnsi("\xED\xA0\x80"), "???");       // surrogate
    EXPECT_EQ(utf8ToAnsi("\xF4\x90\x80\x80"), "????");  // beyond U+10FFFF
    EXPECT_EQ(utf8ToAnsi("\xFF\xFE"), "??");
    EXPECT_EQ(utf8ToAnsi(""), "");
    EXPECT_EQ(utf8ToAnsi(std::string("\0", 1)), std::string("\0", 1));
}

TEST(AnsiTextTest, UpperCaseFoldsLettersOnly) {
    EXPECT_EQ(ansiUpper('a'), 'A');
    EXPECT_EQ(ansiUpper('z'), 'Z');
    EXPECT_EQ(ansiUpper('A'), 'A');
    EXPECT_EQ(ansiUpper('1'), '1');
    EXPECT_EQ(ansiUpper('{'), '{');
    EXPECT_EQ(ansiUpper(0xE0), 0xC0);
    EXPECT_EQ(ansiUpper(0xE9), 0xC9);
    EXPECT_EQ(ansiUpper(0xFE), 0xDE);
    EXPECT_EQ(ansiUpper(0xF7), 0xF7);  // division sign
    EXPECT_EQ(ansiUpper(0xDF), 0xDF);  // sharp s has no single capital here
    EXPECT_EQ(ansiUpper(0xB5), 0xB5);  // micro sign
    EXPECT_EQ(ansiUpper(0x9A), 0x8A);
    EXPECT_EQ(ansiUpper(0x9C), 0x8C);
    EXPECT_EQ(ansiUpper(0x9E), 0x8E);
    EXPECT_EQ(ansiUpper(0xFF), 0x9F);
    EXPECT_EQ(ansiUpper(0x9B), 0x9B);

    for (int c = 0; c < 256; ++c) {
        const unsigned char upper = ansiUpper(static_cast<unsigned char>(c));
        EXPECT_EQ(ansiUpper(upper), upper) << "folding byte " << c << " twice changes it";
    }
    EXPECT_EQ(ansiFoldKey("pc-\xE9t\xE9\xFF"), "PC-\xC9T\xC9\x9F");
}

TEST(AnsiTextTest, AnsiCompareIgnoresCaseAndOrdersByUnsignedBytes) {
    EXPECT_EQ(ansiCompareText("PC1", "pc1"), 0);
    EXPECT_TRUE(ansiSameText("\xC9t\xE9", "\xE9T\xC9"));
    EXPECT_TRUE(ansiSameText("\x9A\xFF", "\x8A\x9F"));
    EXPECT_FALSE(ansiSameText("pc1", "pc1 "));
    EXPECT_LT(ansiCompareText("pc", "PC1"), 0);
    EXPECT_GT(ansiCompareText("PC1", "pc"), 0);
    EXPECT_LT(ansiCompareText("abc", "ABD"), 0);
    EXPECT_GT(ansiCompareText("\xE9", "z"), 0);  // accented letters sort after ASCII
    EXPECT_EQ(ansiCompareText("", ""), 0);
    EXPECT_LT(ansiCompareText("", "a"), 0);
    EXPECT_EQ(ansiCompareText(std::string("a\0b", 3), std::string("A\0B", 3)), 0);
    EXPECT_LT(ansiCompareText(std::string("a\0", 2), std::string("a\x01", 2)), 0);
}

TEST(AnsiTextTest, AsciiCompareFoldsOnlyAsciiLetters) {
    EXPECT_EQ(asciiCompareText("pc1", "PC1"), 0);
    EXPECT_LT(asciiCompareText("False", "True"), 0);
    EXPECT_GT(asciiCompareText("true", "FALSE"), 0);
    EXPECT_NE(asciiCompareText("\xE9", "\xC9"), 0);
    EXPECT_GT(asciiCompareText("\x80", "z"), 0);
    EXPECT_LT(asciiCompareText("0x0000000A", "0x0000000B"), 0);
    EXPECT_LT(asciiCompareText("ab", "abc"), 0);
    EXPECT_GT(asciiCompareText("abc", "AB"), 0);
    // '_' lies between the capitals and the small letters: folding decides which side it is on.
    EXPECT_LT(asciiCompareText("a", "_"), 0);
    EXPECT_GT(asciiCompareText("_", "a"), 0);
}

}  // namespace
}  // namespace kavrin
