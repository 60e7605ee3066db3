// Run where the client library is loaded at run time and absent: every
// database call fails with a message that names the library, nothing crashes.
#include <dataaccess/ClientLibrary.h>
#include <dataaccess/Connection.h>
#include <dataaccess/DllSearch.h>

#include <gtest/gtest.h>

#include <string>

TEST(ClientLoader, MissingLibraryIsAClearErrorEveryTime)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        dataaccess::Connection connection;
        connection.SetDatabaseName("C:\\Colli\\ARCHIVIOCOLLI.FDB");
        try {
            connection.SetConnected(true);
            ADD_FAILURE() << "attached without a client library";
        } catch (const dataaccess::ClientLibraryError& e) {
            EXPECT_NE(std::string(e.what()).find("fbclient.dll"), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("Impossibile caricare", 0), 0u) << e.what();
        }
    }
}

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

namespace {

namespace fs = std::filesystem;

const wchar_t* const kInstances = L"SOFTWARE\\Firebird Project\\Firebird Server\\Instances";

fs::path ProgramFolder()
{
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

std::string Utf8(const fs::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string AttachError()
{
    dataaccess::Connection connection;
    connection.SetDatabaseName("C:\\Colli\\ARCHIVIOCOLLI.FDB");
    try {
        connection.SetConnected(true);
    } catch (const dataaccess::ClientLibraryError& e) {
        return e.what();
    }
    return "attached";
}

// Points the registered Firebird install at a folder for one test and puts the
// machine's own registration back (or removes what it made) afterwards.
class RegisteredFirebird {
public:
    explicit RegisteredFirebird(const fs::path& folder)
    {
        HKEY key = nullptr;
        existed_ = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstances, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (existed_)
            ::RegCloseKey(key);
        for (const wchar_t* parent : {L"SOFTWARE\\Firebird Project", L"SOFTWARE\\Firebird Project\\Firebird Server"}) {
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, parent, 0, KEY_READ, &key) == ERROR_SUCCESS)
                ::RegCloseKey(key);
            else
                made_.insert(made_.begin(), parent);
        }
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInstances, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_,
                              nullptr) != ERROR_SUCCESS) {
            key_ = nullptr;
            return;
        }
        wchar_t value[1024];
        DWORD size = sizeof value;
        if (::RegGetValueW(key_, nullptr, L"DefaultInstance", RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS)
            saved_ = value;
        const std::wstring text = folder.wstring() + L"\\";
        ok_ = ::RegSetValueExW(key_, L"DefaultInstance", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    ~RegisteredFirebird()
    {
        if (!key_)
            return;
        if (saved_)
            ::RegSetValueExW(key_, L"DefaultInstance", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved_->c_str()),
                             static_cast<DWORD>((saved_->size() + 1) * sizeof(wchar_t)));
        else
            ::RegDeleteValueW(key_, L"DefaultInstance");
        ::RegCloseKey(key_);
        if (!existed_)
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kInstances);
        for (const std::wstring& parent : made_)
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent.c_str());
    }
    RegisteredFirebird(const RegisteredFirebird&) = delete;
    RegisteredFirebird& operator=(const RegisteredFirebird&) = delete;

    bool Ok() const { return ok_; }

private:
    HKEY key_ = nullptr;
    bool existed_ = false;
    bool ok_ = false;
    std::optional<std::wstring> saved_;
    std::vector<std::wstring> made_; // deepest first
};

class ClientSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (fs::exists(ProgramFolder() / "fbclient.dll") || fs::exists(System() / "fbclient.dll"))
            GTEST_SKIP() << "a client library is installed here";
        scratch_ = fs::temp_directory_path() / ("client-search-" + std::to_string(::GetCurrentProcessId()));
        fs::create_directories(scratch_ / "cwd");
        fs::create_directories(scratch_ / "firebird");
        previous_ = fs::current_path();
        fs::current_path(scratch_ / "cwd");
    }
    void TearDown() override
    {
        if (scratch_.empty())
            return;
        fs::current_path(previous_);
        std::error_code ignored;
        fs::remove(ProgramFolder() / "fbclient.dll", ignored);
        fs::remove_all(scratch_, ignored);
    }
    static fs::path System()
    {
        wchar_t folder[MAX_PATH];
        ::GetSystemDirectoryW(folder, MAX_PATH);
        return folder;
    }
    static void PutNotADll(const fs::path& path) { std::ofstream(path, std::ios::binary) << "not a DLL"; }

    fs::path scratch_;
    fs::path previous_;
};

// A DLL under the client's name in the current folder never runs.
TEST_F(ClientSearch, CurrentFolderIsNeverSearched)
{
    fs::copy_file(ProgramFolder() / "planted_client.dll", scratch_ / "cwd" / "fbclient.dll");
    const std::string message = AttachError();
    EXPECT_EQ(message.rfind("Impossibile caricare", 0), 0u) << message;
    EXPECT_NE(message.find("copiarla"), std::string::npos) << message;
    EXPECT_EQ(::GetEnvironmentVariableW(L"COLLI_PLANTED_CLIENT_RAN", nullptr, 0), 0u) << "the planted DLL ran";
}

// A client that is there but cannot load (32-bit, a runtime DLL missing, not a
// DLL at all) is named with the system's reason, in the order of the search.
TEST_F(ClientSearch, ClientThatDoesNotLoadIsNamedWithTheReason)
{
    const RegisteredFirebird firebird(scratch_ / "firebird");
    if (!firebird.Ok())
        GTEST_SKIP() << "the Firebird registration cannot be written here";
    PutNotADll(scratch_ / "firebird" / "fbclient.dll");
    const struct {
        bool besideProgram;
        fs::path named;
    } cases[] = {{false, scratch_ / "firebird" / "fbclient.dll"}, {true, ProgramFolder() / "fbclient.dll"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named.string());
        if (c.besideProgram)
            PutNotADll(ProgramFolder() / "fbclient.dll");
        const std::string message = AttachError();
        const std::string prefix = "Impossibile caricare la libreria client di Firebird \"" + Utf8(c.named) + "\": ";
        EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
        EXPECT_GT(message.size(), prefix.size()) << message;
        EXPECT_EQ(message.find("copiarla"), std::string::npos) << message;
    }
}

// As the programs start: a client found in the Firebird install still gets
// the DLLs that sit beside it, while a DLL asked for by its bare name is no
// longer taken from the current folder.
TEST_F(ClientSearch, RestrictedSearchKeepsTheClientsOwnDlls)
{
    dataaccess::RestrictDllSearch();
    const RegisteredFirebird firebird(scratch_ / "firebird");
    if (!firebird.Ok())
        GTEST_SKIP() << "the Firebird registration cannot be written here";
    const fs::path kit = ProgramFolder() / "client-kit";
    fs::copy_file(kit / "client_with_runtime.dll", scratch_ / "firebird" / "fbclient.dll");
    fs::copy_file(kit / "client_runtime.dll", scratch_ / "firebird" / "client_runtime.dll");
    const std::string message = AttachError();
    EXPECT_NE(message.find("non contiene la funzione"), std::string::npos) << message;
    EXPECT_NE(::GetEnvironmentVariableW(L"COLLI_CLIENT_WITH_RUNTIME_RAN", nullptr, 0), 0u);

    fs::copy_file(ProgramFolder() / "planted_client.dll", scratch_ / "cwd" / "colli_planted.dll");
    const HMODULE planted = ::LoadLibraryW(L"colli_planted.dll");
    EXPECT_EQ(planted, nullptr);
    if (planted)
        ::FreeLibrary(planted);
    EXPECT_EQ(::GetEnvironmentVariableW(L"COLLI_PLANTED_CLIENT_RAN", nullptr, 0), 0u) << "the planted DLL ran";
}

} // namespace
#endif
