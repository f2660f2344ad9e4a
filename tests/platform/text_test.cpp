// Text that reaches a terminal or the log.
#include <gtest/gtest.h>

#include "automation/text.h"

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
