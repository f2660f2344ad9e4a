#include <gtest/gtest.h>

#include "platform/format/ansi_text.h"

TEST(AnsiText, RoundTripsTheCodePageAndMarksWhatItLacks) {
    std::string utf8 = "Zoë – €12 Straße";
    std::string ansi = qx::Utf8ToAnsi(utf8);
    EXPECT_EQ(ansi, "Zo\xEB \x96 \x80" "12 Stra\xDF" "e");
    EXPECT_EQ(qx::AnsiToUtf8(ansi), utf8);
    EXPECT_EQ(qx::Utf8ToAnsi("東京 ok"), "?? ok");
    EXPECT_EQ(qx::AnsiToUtf8("plain;text\r\n"), "plain;text\r\n");
}

TEST(AnsiText, FitsWordsTheCodePageLacksIntoLatinLettersAndTheRestIntoQuestionMarks) {
    EXPECT_EQ(qx::FitToWindows1252("Straße 12, Zoë"), "Straße 12, Zoë");
    EXPECT_EQ(qx::FitToWindows1252("Łódź, Straße 5"), "Lodz, Straße 5");
    EXPECT_EQ(qx::FitToWindows1252("Москва Αθήνα"), "Moskva Athena");
    EXPECT_EQ(qx::FitToWindows1252("北京 🙂 ok"), "bei jing ? ok");
    EXPECT_EQ(qx::FitToWindows1252("bad \xFF byte"), "bad ? byte");
    // what it gives, the code page holds
    std::string fitted = qx::FitToWindows1252("Ærø — Łódź 東京 Ω");
    EXPECT_EQ(qx::AnsiToUtf8(qx::Utf8ToAnsi(fitted)), fitted);
}
