#include "ParcelsTestSupport.h"

#include <parcels/WrongEanBatch.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Run with LC_ALL naming the regional settings and COLLI_EXPECTED_COUNT the
// text 1234 must read as under them.
TEST(CountText, ConfirmationFollowsTheSystemRegionalSettings)
{
    const char* expected = std::getenv("COLLI_EXPECTED_COUNT");
    if (!expected)
        GTEST_SKIP() << "COLLI_EXPECTED_COUNT not set";

    testsupport::TestDatabase database(testsupport::Where::Embedded);
    parcelstest::FillParcels(database, 1234);
    parcelstest::Station station(database);
    parcelstest::RecordingUi ui;
    ui.answer = false;
    parcels::RunWrongEanBatch(station.connection, station.transaction, ui);

    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0],
              std::string("Confirm: Trovati ") + expected + " record da valorizzare: procedere?");
}

} // namespace
