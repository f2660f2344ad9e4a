// Text that reaches a terminal or the log.
#include <gtest/gtest.h>

#include <vector>

#include "platform/automation/text.h"

namespace {

TEST(EscapeControls, ShowsControlsC1AndStrayBytesAsCodesAndKeepsTheRest) {
    EXPECT_EQ(ole::EscapeControls("SO1\x1B[2J\x1B]0;owned\x07"), "SO1\\x1B[2J\\x1B]0;owned\\x07");
    EXPECT_EQ(ole::EscapeControls("a\r\nb\tc\x7F"), "a\\x0D\\x0Ab\\x09c\\x7F");
    // C1 CSI (U+009B) and bytes that are no UTF-8 would reach some terminals as controls
    EXPECT_EQ(ole::EscapeControls("x\xC2\x9B" "1m y\xFF\xC3"), "x\\xC2\\x9B1m y\\xFF\\xC3");
    std::string text = "Łódź Straße 東京 🙂 C:\\path";
    EXPECT_EQ(ole::EscapeControls(text), text);
    EXPECT_EQ(ole::EscapeControls(ole::EscapeControls("a\nb")), ole::EscapeControls("a\nb"));
}

// The one UTF-8 reader of the log, XML and confirmation checks: the edges of
// each sequence length, and the forms Unicode forbids.
TEST(Utf8CharacterAt, ReadsWellFormedSequencesAndNothingElse) {
    struct Case { std::string bytes; size_t length; char32_t character; };
    for (const Case& c : std::vector<Case>{{"A", 1, U'A'}, {"\xC2\x80", 2, 0x80}, {"\xE0\xA0\x80", 3, 0x800},
                                           {"\xEF\xBF\xBF", 3, 0xFFFF}, {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
                                           {"\xC1\xBF", 0, 0}, {"\xE0\x9F\xBF", 0, 0}, {"\xED\xA0\x80", 0, 0},
                                           {"\xF4\x90\x80\x80", 0, 0}, {"\x80", 0, 0}, {"\xE2\x82", 0, 0},
                                           {"\xFF", 0, 0}}) {
        char32_t read = 0;
        EXPECT_EQ(ole::Utf8CharacterAt("x" + c.bytes, 1, &read), c.length) << ole::EscapeControls(c.bytes);
        if (c.length) {
            EXPECT_EQ(read, c.character) << ole::EscapeControls(c.bytes);
        }
    }
}

// Blanks only (not tabs or line breaks), whether the text is given up or only looked at.
TEST(TrimBlanks, CutsBlanksOnBothSidesOfAViewAndOfAGivenUpText) {
    for (const std::string text : {"  a b  ", "a b", "   ", "", "\t a \n", " x"}) {
        std::string expected = ole::TrimBlanks(std::string_view(text));
        EXPECT_EQ(ole::TrimBlanks(std::string(text)), expected) << "'" << text << "'";
    }
    EXPECT_EQ(ole::TrimBlanks("  a b  "), "a b");
    EXPECT_EQ(ole::TrimBlanks(std::string("   ")), "");
    EXPECT_EQ(ole::TrimBlanks(std::string("\t a \n")), "\t a \n");
    std::string longText = "  " + std::string(40, 'k') + " ";
    EXPECT_EQ(ole::TrimBlanks(std::move(longText)), std::string(40, 'k'));
}

TEST(Shorten, CutsAtCharactersAndSaysHowManyWereCut) {
    EXPECT_EQ(ole::Shorten("short", 512), "short");
    EXPECT_EQ(ole::Shorten(std::string(10, 'k'), 4), "kkkk... (6 more characters)");
    EXPECT_EQ(ole::Shorten("ééé", 2), "éé... (1 more characters)");  // never inside a character
}

}  // namespace
