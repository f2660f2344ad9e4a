#include <gtest/gtest.h>

#include "format/ansi_text.h"

TEST(AnsiText, RoundTripsTheCodePageAndMarksWhatItLacks) {
    std::string utf8 = "Zoë – €12 Straße";
    std::string ansi = qx::Utf8ToAnsi(utf8);
    EXPECT_EQ(ansi, "Zo\xEB \x96 \x80" "12 Stra\xDF" "e");
    EXPECT_EQ(qx::AnsiToUtf8(ansi), utf8);
    EXPECT_EQ(qx::Utf8ToAnsi("東京 ok"), "?? ok");
    EXPECT_EQ(qx::AnsiToUtf8("plain;text\r\n"), "plain;text\r\n");
}
