#include <parcels/WrongEanBatch.h>

#include <gtest/gtest.h>

#include <QLocale>

namespace {

std::string ConversionError(const std::string& codiceEan)
{
    try {
        parcels::FaultyEan(codiceEan);
    } catch (const parcels::InvalidIntegerError& error) {
        return error.what();
    }
    return "no error";
}

TEST(FaultyEan, DropsTheFirstCharacterAndAppendsANewCheckDigit)
{
    EXPECT_EQ(parcels::FaultyEan("2001234567890"), "0012345678905");
    // A weighted sum that is a multiple of ten gives 0, never "10".
    EXPECT_EQ(parcels::FaultyEan("2001111111111"), "0011111111110");
    // The first character may be anything.
    EXPECT_EQ(parcels::FaultyEan("X001234567890"), "0012345678905");
    EXPECT_EQ(parcels::FaultyEan("9400638133393"), "4006381333931");
}

TEST(FaultyEan, NamesTheFirstBadCharacterInConversionOrder)
{
    // Even positions are converted before odd ones: 'b' (d2) before 'a' (d1).
    EXPECT_EQ(ConversionError("2ab1234567890"), "'b' is not a valid integer value");
    EXPECT_EQ(ConversionError("20012345678x0"), "'x' is not a valid integer value");
    EXPECT_EQ(ConversionError("2 01234567890"), "' ' is not a valid integer value");
    EXPECT_EQ(ConversionError("20-1234567890"), "'-' is not a valid integer value");
    // A Windows-1252 byte is named as the character it stands for.
    EXPECT_EQ(ConversionError("20\xE8" "1234567890"), "'\xC3\xA8' is not a valid integer value");
    EXPECT_EQ(ConversionError("2001234567\x80" "90"), "'\xE2\x82\xAC' is not a valid integer value");
}

TEST(FaultyEan, ShortCodeFailsInsteadOfReadingPastTheEnd)
{
    EXPECT_EQ(ConversionError("200123"), "'' is not a valid integer value");
    EXPECT_EQ(ConversionError(""), "'' is not a valid integer value");
}

TEST(FormatCount, GroupsDigitsByThreeWithTheLocaleSeparator)
{
    const QLocale italian(QLocale::Italian, QLocale::Italy);
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    EXPECT_EQ(parcels::FormatCount(0, italian), "0");
    EXPECT_EQ(parcels::FormatCount(999, italian), "999");
    EXPECT_EQ(parcels::FormatCount(1234, italian), "1.234");
    EXPECT_EQ(parcels::FormatCount(1000000, italian), "1.000.000");
    EXPECT_EQ(parcels::FormatCount(1234, english), "1,234");
    EXPECT_EQ(parcels::FormatCount(123456789, english), "123,456,789");
    // Groups of three even where the locale itself would not group four digits.
    EXPECT_EQ(parcels::FormatCount(1234, QLocale(QLocale::Spanish, QLocale::Spain)), "1.234");
}

} // namespace
