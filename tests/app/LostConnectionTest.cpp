// A station whose database server goes away in the middle of a scan pair.
#include "StationFixture.h"

#include <QLineEdit>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

std::string SourceDir()
{
    const char* dir = std::getenv("COLLI_SOURCE_DIR");
    return dir && *dir ? dir : COLLI_SOURCE_DIR_FALLBACK;
}

// A private Firebird server of this test alone, so it can be killed.
class PrivateServer {
public:
    explicit PrivateServer(const std::string& folder) : folder_(folder)
    {
        const std::string command = "bash '" + SourceDir() + "/scripts/fb-test-server.sh' start '" + folder_ + "'";
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[64] = {};
            if (fgets(buffer, sizeof buffer, pipe))
                port_ = std::string(buffer).substr(0, std::string(buffer).find_first_of("\r\n"));
            if (pclose(pipe) != 0)
                port_.clear();
        }
    }
    ~PrivateServer() { Stop(); }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    bool Running() const { return !port_.empty(); }
    std::string Address() const { return "127.0.0.1/" + port_; }
    void Stop()
    {
        if (stopped_)
            return;
        stopped_ = true;
        const std::string command =
            "bash '" + SourceDir() + "/scripts/fb-test-server.sh' stop '" + folder_ + "' >/dev/null 2>&1";
        [[maybe_unused]] const int ignored = std::system(command.c_str());
    }

private:
    std::string folder_;
    std::string port_;
    bool stopped_ = false;
};

class LostConnection : public StationTest {};

TEST_F(LostConnection, ErrorsAreShownAndTheStationKeepsRunning)
{
    if (std::getenv("COLLI_FB_SERVER") == nullptr)
        GTEST_SKIP() << "no private server wanted (COLLI_FB_SERVER unset)";
    PrivateServer server(folder.Path() + "server");
    ASSERT_TRUE(server.Running());

    // The database now lives on that server, reached through the settings file.
    const std::string remotePath = folder.Path() + "REMOTE.FDB";
    folder.CreateDatabase(server.Address() + ":" + remotePath);
    AddParcel("SPD001", "8001234567890", "<NULL>");
    std::filesystem::remove(folder.DatabasePath());
    std::ofstream(folder.Path() + "dati.ini") << "[CONFIG]\r\nNome Server=" << server.Address()
                                               << "\r\nAlias=" << remotePath << "\r\n";
    Start();
    ASSERT_TRUE(form->DatabaseColli().Connected());
    ASSERT_TRUE(form->EditBarcode->isEnabled());
    journal.clear();

    Scan("SPD001");
    ASSERT_EQ(form->ScanState(), 1);
    server.Stop();

    // The outcome is shown; the log row cannot be written, which the writer reports.
    Scan("8001234567890");
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0], "Outcome 0: EAN OK");
    EXPECT_EQ(journal[1].rfind("Error: Impossibile storicizzare nel log la scansione:\r", 0), 0u) << journal[1];
    EXPECT_EQ(form->ScanState(), 0);

    // The next lookup fails and reaches the error handler; the station stays usable.
    journal.clear();
    Scan("SPD002");
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].rfind("ApplicationError: ", 0), 0u) << journal[0];
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(form->StaticBarcodeSpeed->text(), "SPD002");
    EXPECT_TRUE(form->EditBarcode->text().isEmpty());
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->EditBarcode));

    form.reset(); // closing on a dead link neither hangs nor throws
}

} // namespace
