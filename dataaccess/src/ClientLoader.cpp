// Linked instead of the Firebird client library where the program must start
// without it: defines the client calls the layer makes, each forwarding to the
// library loaded at the first call (from the program's folder first). When the
// library cannot be loaded every call raises ClientLibraryError, with a message
// for the operator that names the library.
#include "dataaccess/ClientLibrary.h"

#include <ibase.h>

#include <array>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

// Every client call the layer makes: result, name, parameters, arguments.
#define COLLI_CLIENT_CALLS(X)                                                                                   \
    X(ISC_STATUS, fb_cancel_operation, (ISC_STATUS * a, isc_db_handle * b, ISC_USHORT c), (a, b, c))            \
    X(ISC_LONG, fb_interpret, (ISC_SCHAR * a, unsigned int b, const ISC_STATUS** c), (a, b, c))                 \
    X(ISC_STATUS, fb_shutdown_callback, (ISC_STATUS * a, FB_SHUTDOWN_CALLBACK b, const int c, void* d),         \
      (a, b, c, d))                                                                                             \
    X(void, fb_sqlstate, (char* a, const ISC_STATUS* b), (a, b))                                                \
    X(ISC_STATUS, isc_attach_database,                                                                          \
      (ISC_STATUS * a, short b, const ISC_SCHAR* c, isc_db_handle* d, short e, const ISC_SCHAR* f),             \
      (a, b, c, d, e, f))                                                                                       \
    X(ISC_STATUS, isc_cancel_blob, (ISC_STATUS * a, isc_blob_handle* b), (a, b))                                \
    X(ISC_STATUS, isc_close_blob, (ISC_STATUS * a, isc_blob_handle* b), (a, b))                                 \
    X(ISC_STATUS, isc_commit_transaction, (ISC_STATUS * a, isc_tr_handle* b), (a, b))                           \
    X(ISC_STATUS, isc_create_blob2,                                                                             \
      (ISC_STATUS * a, isc_db_handle* b, isc_tr_handle* c, isc_blob_handle* d, ISC_QUAD* e, short f,            \
       const ISC_SCHAR* g),                                                                                     \
      (a, b, c, d, e, f, g))                                                                                    \
    X(ISC_STATUS, isc_database_info,                                                                            \
      (ISC_STATUS * a, isc_db_handle* b, short c, const ISC_SCHAR* d, short e, ISC_SCHAR* f), (a, b, c, d, e, f)) \
    X(void, isc_decode_sql_date, (const ISC_DATE* a, void* b), (a, b))                                          \
    X(ISC_STATUS, isc_detach_database, (ISC_STATUS * a, isc_db_handle* b), (a, b))                              \
    X(ISC_STATUS, isc_drop_database, (ISC_STATUS * a, isc_db_handle* b), (a, b))                                \
    X(ISC_STATUS, isc_dsql_alloc_statement2, (ISC_STATUS * a, isc_db_handle* b, isc_stmt_handle* c), (a, b, c)) \
    X(ISC_STATUS, isc_dsql_describe, (ISC_STATUS * a, isc_stmt_handle* b, unsigned short c, XSQLDA* d),         \
      (a, b, c, d))                                                                                             \
    X(ISC_STATUS, isc_dsql_describe_bind, (ISC_STATUS * a, isc_stmt_handle* b, unsigned short c, XSQLDA* d),    \
      (a, b, c, d))                                                                                             \
    X(ISC_STATUS, isc_dsql_execute,                                                                             \
      (ISC_STATUS * a, isc_tr_handle* b, isc_stmt_handle* c, unsigned short d, const XSQLDA* e), (a, b, c, d, e)) \
    X(ISC_STATUS, isc_dsql_execute2,                                                                            \
      (ISC_STATUS * a, isc_tr_handle* b, isc_stmt_handle* c, unsigned short d, const XSQLDA* e,                 \
       const XSQLDA* f),                                                                                        \
      (a, b, c, d, e, f))                                                                                       \
    X(ISC_STATUS, isc_dsql_execute_immediate,                                                                   \
      (ISC_STATUS * a, isc_db_handle* b, isc_tr_handle* c, unsigned short d, const ISC_SCHAR* e,                \
       unsigned short f, const XSQLDA* g),                                                                      \
      (a, b, c, d, e, f, g))                                                                                    \
    X(ISC_STATUS, isc_dsql_exec_immed2,                                                                         \
      (ISC_STATUS * a, isc_db_handle* b, isc_tr_handle* c, unsigned short d, const ISC_SCHAR* e,                \
       unsigned short f, const XSQLDA* g, const XSQLDA* h),                                                     \
      (a, b, c, d, e, f, g, h))                                                                                 \
    X(ISC_STATUS, isc_dsql_fetch, (ISC_STATUS * a, isc_stmt_handle* b, unsigned short c, const XSQLDA* d),      \
      (a, b, c, d))                                                                                             \
    X(ISC_STATUS, isc_dsql_free_statement, (ISC_STATUS * a, isc_stmt_handle* b, unsigned short c), (a, b, c))   \
    X(ISC_STATUS, isc_dsql_prepare,                                                                             \
      (ISC_STATUS * a, isc_tr_handle* b, isc_stmt_handle* c, unsigned short d, const ISC_SCHAR* e,              \
       unsigned short f, XSQLDA* g),                                                                            \
      (a, b, c, d, e, f, g))                                                                                    \
    X(ISC_STATUS, isc_dsql_sql_info,                                                                            \
      (ISC_STATUS * a, isc_stmt_handle* b, short c, const ISC_SCHAR* d, short e, ISC_SCHAR* f),                 \
      (a, b, c, d, e, f))                                                                                       \
    X(ISC_STATUS, isc_get_segment,                                                                              \
      (ISC_STATUS * a, isc_blob_handle* b, unsigned short* c, unsigned short d, ISC_SCHAR* e), (a, b, c, d, e))  \
    X(ISC_STATUS, isc_open_blob2,                                                                               \
      (ISC_STATUS * a, isc_db_handle* b, isc_tr_handle* c, isc_blob_handle* d, ISC_QUAD* e, ISC_USHORT f,       \
       const ISC_UCHAR* g),                                                                                     \
      (a, b, c, d, e, f, g))                                                                                    \
    X(ISC_STATUS, isc_put_segment, (ISC_STATUS * a, isc_blob_handle* b, unsigned short c, const ISC_SCHAR* d),  \
      (a, b, c, d))                                                                                             \
    X(ISC_STATUS, isc_rollback_transaction, (ISC_STATUS * a, isc_tr_handle* b), (a, b))                         \
    X(ISC_LONG, isc_sqlcode, (const ISC_STATUS* a), (a))                                                        \
    X(ISC_STATUS, isc_start_multiple, (ISC_STATUS * a, isc_tr_handle* b, short c, void* d), (a, b, c, d))       \
    X(ISC_LONG, isc_vax_integer, (const ISC_SCHAR* a, short b), (a, b))                                         \
    X(ISC_INT64, isc_portable_integer, (const ISC_UCHAR* a, short b), (a, b))

namespace dataaccess {
namespace {

#define COLLI_CALL_ID(result, name, parameters, arguments) name,
enum class Call { COLLI_CLIENT_CALLS(COLLI_CALL_ID) Count };
#undef COLLI_CALL_ID

#define COLLI_CALL_NAME(result, name, parameters, arguments) #name,
constexpr std::array<const char*, static_cast<size_t>(Call::Count)> kCallNames {COLLI_CLIENT_CALLS(COLLI_CALL_NAME)};
#undef COLLI_CALL_NAME

using Entry = void (*)();

#ifdef _WIN32
constexpr const char* kLibraryName = "fbclient.dll";

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                          nullptr);
    return out;
}

// The system's own words for why a DLL did not load, in its language.
std::string SystemReason(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                              FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring reason(text ? text : L"", length);
    ::LocalFree(text);
    while (!reason.empty() && (reason.back() == L'\r' || reason.back() == L'\n' || reason.back() == L' '))
        reason.pop_back();
    // Some texts name the file as "%1".
    if (const auto at = reason.find(L"%1"); at != std::wstring::npos)
        reason.replace(at, 2, L"fbclient.dll");
    return reason.empty() ? "errore " + std::to_string(code) : Utf8(reason);
}

std::wstring WithSeparator(std::wstring folder)
{
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';
    return folder;
}

std::wstring ProgramFolder()
{
    std::wstring path(1024, L'\0');
    for (;;) {
        const DWORD got = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (got == 0)
            return {};
        if (got < path.size()) {
            path.resize(got);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// The root folder of the Firebird that the installer registered, if any.
std::wstring InstalledFirebirdFolder()
{
    wchar_t value[1024];
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Firebird Project\\Firebird Server\\Instances",
                       L"DefaultInstance", RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return {};
    return WithSeparator(value);
}

std::wstring SystemFolder()
{
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? WithSeparator(folder) : std::wstring();
}

// Only full paths, so the current folder (where a planted DLL would run with
// the operator's rights) is never searched: beside the program, then the
// installed Firebird (3 keeps its client in the root, 2.5 in bin), then the
// system folder. A client that is there but does not load is reported with the
// system's reason rather than passed over.
void* OpenLibrary()
{
    const std::wstring installed = InstalledFirebirdFolder();
    const std::wstring folders[] = {ProgramFolder(), installed, installed.empty() ? L"" : installed + L"bin\\",
                                    SystemFolder()};
    for (const std::wstring& folder : folders) {
        if (folder.empty())
            continue;
        const std::wstring path = folder + L"fbclient.dll";
        if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        // The client's own DLLs (its runtime) are looked for beside it first.
        if (HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr,
                                              LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
            return module;
        const DWORD code = ::GetLastError();
        throw ClientLibraryError("Impossibile caricare la libreria client di Firebird \"" + Utf8(path) +
                                 "\": " + SystemReason(code));
    }
    return nullptr;
}

Entry FindEntry(void* library, const char* name)
{
    return reinterpret_cast<Entry>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library)
{
    ::FreeLibrary(static_cast<HMODULE>(library));
}
#else
constexpr const char* kLibraryName = "libfbclient.so.2";

void* OpenLibrary()
{
    return ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
}

Entry FindEntry(void* library, const char* name)
{
    return reinterpret_cast<Entry>(::dlsym(library, name));
}

void CloseLibrary(void* library)
{
    ::dlclose(library);
}
#endif

// The library and every entry the layer needs, resolved once. It stays loaded
// until the process ends: the client's own threads may outlive the last
// connection, and unloading under them would crash the exit.
class LoadedClient {
public:
    LoadedClient()
    {
        void* library = OpenLibrary();
        if (!library)
            throw ClientLibraryError(std::string("Impossibile caricare la libreria client di Firebird \"") +
                                     kLibraryName +
                                     "\": copiarla nella cartella del programma oppure installare il client di "
                                     "Firebird");
        for (size_t i = 0; i < entries_.size(); ++i) {
            entries_[i] = FindEntry(library, kCallNames[i]);
            if (!entries_[i]) {
                CloseLibrary(library);
                throw ClientLibraryError(std::string("La libreria client di Firebird \"") + kLibraryName +
                                         "\" non contiene la funzione " + kCallNames[i] +
                                         ": serve la versione 3 o successiva");
            }
        }
    }

    Entry Get(Call call) const { return entries_[static_cast<size_t>(call)]; }

private:
    std::array<Entry, static_cast<size_t>(Call::Count)> entries_ {};
};

// Loaded at the first call; a failed load is tried again at the next one.
const LoadedClient& Client()
{
    static const LoadedClient client;
    return client;
}

} // namespace
} // namespace dataaccess

#define COLLI_FORWARD(result, name, parameters, arguments)                                                    \
    result ISC_EXPORT name parameters                                                                           \
    {                                                                                                           \
        return reinterpret_cast<decltype(&name)>(dataaccess::Client().Get(dataaccess::Call::name)) arguments; \
    }
COLLI_CLIENT_CALLS(COLLI_FORWARD)
#undef COLLI_FORWARD
