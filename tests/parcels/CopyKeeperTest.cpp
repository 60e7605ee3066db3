// The keeper of the station's copy on a server of its own, which the test
// freezes: it fills the copy in the background, brings every change of the
// parcels into it, and says when the server goes away and comes back.
#include "ParcelsTestSupport.h"

#include <parcels/CopyKeeper.h>
#include <parcels/ScanJournal.h>

#include <gtest/gtest.h>

#include <QDir>

#include <chrono>
#include <functional>
#include <thread>

namespace {

using parcels::CopyEvent;
using namespace std::chrono_literals;

bool Within(std::chrono::seconds most, const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + most;
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return done();
}

class Keeper : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (testsupport::ServerAddress().empty())
            GTEST_SKIP() << "COLLI_FB_SERVER not set";
        ASSERT_TRUE(server.Running());
        name = parcelstest::LogDatabaseOn(server);
    }
    ~Keeper() override
    {
        keeper.reset();
        QDir(QString::fromStdString(folder)).removeRecursively();
    }
    void Start(const std::string& database)
    {
        parcels::StationLink link{database, {"user_name=SYSDBA", "password=plumtrove"}, 2, 1, 1};
        keeper = std::make_unique<parcels::CopyKeeper>(path, link, 1, [this](const CopyEvent& e) { told(e); });
    }
    // The code's EAN and faulty EAN in the copy, "-" when it is not there.
    std::string InCopy(const std::string& code)
    {
        const auto parcel = parcels::ParcelCopy(path).Find(code);
        return parcel ? parcel->codiceEan + "/" + parcel->codiceEanErrato : "-";
    }
    void Run(const std::string& sql) { testsupport::ExecuteOn(name, sql); }

    testsupport::PrivateServer server;
    std::string name;
    std::string folder = testsupport::MakeScratchFolder("custode");
    std::string path = folder + "/" + parcels::ScanJournal::kFileName;
    parcelstest::Heard<CopyEvent> told{[](const CopyEvent& e) { return e.reason; }};
    std::unique_ptr<parcels::CopyKeeper> keeper;
};

#ifndef _WIN32
TEST_F(Keeper, FillsInTheBackgroundFollowsEveryChangeAndTellsAnOutage)
{
    Run(parcelstest::ParcelInsert("KEPT", "8000000000001"));
    Run(parcelstest::ParcelInsert("CHANGED", "8000000000002"));
    Run(parcelstest::ParcelInsert("GONE", "8000000000003"));
    Start(name);
    ASSERT_TRUE(Within(30s, [&] { return told.Count(CopyEvent::Kind::Ready) > 0; })) << told.Notes();
    EXPECT_EQ(InCopy("KEPT"), "8000000000001/");
    EXPECT_EQ(parcels::ParcelCopy(path).State().database, name);

    Run(parcelstest::ParcelInsert("NEW", "8000000000004"));
    Run("UPDATE COLLI SET CODICEEAN_ERRATO = '8000000000009' WHERE BARCODESPEED = 'CHANGED'");
    Run("DELETE FROM COLLI WHERE BARCODESPEED = 'GONE'");
    EXPECT_TRUE(Within(30s, [&] {
        return InCopy("NEW") == "8000000000004/" && InCopy("CHANGED") == "8000000000002/8000000000009" &&
               InCopy("GONE") == "-";
    })) << told.Notes();

    server.Freeze();
    keeper->Watch();
    const bool away = Within(30s, [&] { return told.Count(CopyEvent::Kind::Unreachable) == 1; });
    // The copy answers while the server does not.
    EXPECT_EQ(InCopy("NEW"), "8000000000004/");
    server.Thaw();
    EXPECT_TRUE(away) << told.Notes();
    EXPECT_TRUE(Within(30s, [&] { return told.Count(CopyEvent::Kind::Reachable) == 1; })) << told.Notes();
}

#endif

TEST_F(Keeper, ADatabaseWithoutTheChangeLogIsToldOnceAndGivesNoCopy)
{
    Run("DROP PROCEDURE COLLI_MODIFICHE_DOPO");
    Start(name);
    ASSERT_TRUE(Within(30s, [&] { return told.Count(CopyEvent::Kind::Unavailable) == 1; })) << told.Notes();
    std::this_thread::sleep_for(2500ms); // refreshes that fail alike are not told again
    EXPECT_EQ(told.Count(CopyEvent::Kind::Unavailable), 1) << told.Notes();
    EXPECT_EQ(told.Count(CopyEvent::Kind::Ready), 0);
    EXPECT_FALSE(parcels::ParcelCopy(path).State().filled);
}

} // namespace
