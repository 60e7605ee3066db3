#include "Internals.h"
#include "SystemCodePage.h"

#include "dataaccess/Errors.h"

#include <algorithm>
#include <array>

namespace dataaccess {
namespace {

// The name of a "name=value" line, without the blanks around it.
std::string_view NameOf(const std::string& line, std::size_t equals)
{
    return Trimmed(std::string_view(line).substr(0, equals), " \t");
}

// Parameter buffer from "name=value" lines, in list order.
std::string BuildParameterBuffer(const std::vector<std::string>& lines)
{
    std::string buffer(1, static_cast<char>(isc_dpb_version1));
    for (const std::string& line : lines) {
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            throw DatabaseError("Invalid connection parameter \"" + line + "\"");
        const std::string_view name = NameOf(line, equals);
        const std::string_view value(line.data() + equals + 1, line.size() - equals - 1);
        char tag = 0;
        if (EqualsIgnoreCase(name, "user_name"))
            tag = isc_dpb_user_name;
        else if (EqualsIgnoreCase(name, "password"))
            tag = isc_dpb_password;
        else if (EqualsIgnoreCase(name, "sql_role_name"))
            tag = isc_dpb_sql_role_name;
        else if (EqualsIgnoreCase(name, "lc_ctype"))
            tag = isc_dpb_lc_ctype;
        else if (EqualsIgnoreCase(name, "config")) // firebird.conf lines for this attachment alone
            tag = isc_dpb_config;
        else
            throw DatabaseError("Unknown connection parameter \"" + std::string(name) + "\"");
        if (value.size() > 255)
            throw DatabaseError("Connection parameter \"" + std::string(name) + "\" is too long");
        buffer += tag;
        buffer += static_cast<char>(value.size());
        buffer += value;
    }
    return buffer;
}

// The values of the config lines, one per line, as the client takes them over
// its firebird.conf.
std::string ConfigOf(const std::vector<std::string>& lines)
{
    std::string config;
    for (const std::string& line : lines) {
        const auto equals = line.find('=');
        if (equals != std::string::npos && EqualsIgnoreCase(NameOf(line, equals), "config"))
            config += line.substr(equals + 1) + "\n";
    }
    return config;
}

// One quoted (or bare) value after a keyword of a create statement; a doubled
// quote stands for one.
std::string ValueAt(const std::string& text, std::size_t& at)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n'))
        ++at;
    std::string value;
    if (at < text.size() && (text[at] == '\'' || text[at] == '"')) {
        const char quote = text[at++];
        while (at < text.size()) {
            if (text[at] == quote) {
                if (at + 1 < text.size() && text[at + 1] == quote) {
                    value += quote;
                    at += 2;
                    continue;
                }
                ++at;
                break;
            }
            value += text[at++];
        }
        return value;
    }
    while (at < text.size() && text[at] != ' ' && text[at] != '\t' && text[at] != '\r' && text[at] != '\n')
        value += text[at++];
    return value;
}

bool IsWordCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$';
}

} // namespace

#ifndef _WIN32
namespace {
// Asked before the client library's own shutdown on a signal; refusing it
// leaves the attachments to the program.
int RefuseShutdownOnSignal(const int reason, const int, void*)
{
    return reason == fb_shutrsn_signal ? 1 : 0;
}
} // namespace
#endif

void KeepAttachmentsOnSignals()
{
#ifndef _WIN32 // the client library hooks those signals on POSIX systems only
    Status status;
    fb_shutdown_callback(&status, RefuseShutdownOnSignal, fb_shut_confirmation, nullptr);
    Check(status);
#endif
}

std::vector<std::string> AttachLinesFromCreate(const std::vector<std::string>& createLines)
{
    const std::string text = JoinLines(createLines);
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '\'' || c == '"') { // a value that is not after a known keyword
            ValueAt(text, at);
            continue;
        }
        if (!IsWordCharacter(c)) {
            ++at;
            continue;
        }
        const std::size_t start = at;
        while (at < text.size() && IsWordCharacter(text[at]))
            ++at;
        const std::string_view word(text.data() + start, at - start);
        if (EqualsIgnoreCase(word, "USER"))
            lines.push_back("user_name=" + ValueAt(text, at));
        else if (EqualsIgnoreCase(word, "PASSWORD"))
            lines.push_back("password=" + ValueAt(text, at));
        else if (EqualsIgnoreCase(word, "ROLE"))
            lines.push_back("sql_role_name=" + ValueAt(text, at));
    }
    return lines;
}

isc_db_handle* Connection::Impl::RequireHandle()
{
    if (handle == 0)
        throw DatabaseError("Database not connected");
    return &handle;
}

void Connection::Impl::Attach(const std::vector<std::string>& lines)
{
    if (databaseName.empty())
        throw DatabaseError("Database name is missing");
    if (scope && scope->attachFailure)
        std::rethrow_exception(scope->attachFailure); // one attempt per scope: the server was away a moment ago
    std::string dpb = BuildParameterBuffer(lines);
    const std::string key = "attach\n" + databaseName + "\n" + dpb;
    attachConfig = ConfigOf(lines);
    // Names are UTF-8 here; without this the Windows client reads them in the
    // ANSI code page and misses a folder with an accented letter.
    dpb += static_cast<char>(isc_dpb_utf8_filename);
    dpb += '\0';
    // The client's own bound on reaching the server and on its first answers.
    const ISC_LONG connectTimeout = SecondsLeft();
    dpb += static_cast<char>(isc_dpb_connect_timeout);
    dpb += static_cast<char>(4);
    for (int shift = 0; shift < 32; shift += 8)
        dpb += static_cast<char>((connectTimeout >> shift) & 0xFF);
    try {
        handle = AttachWithin(dpb, key, connectTimeout);
    } catch (const DatabaseError& error) {
        Note("Collegamento con " + ServerLabel() + " non riuscito: " + error.what());
        if (scope)
            scope->attachFailure = std::current_exception();
        throw;
    }
    ++attachment;
    ForgetFacts();
    const bool again = lost;
    lost = false;
    attachParams = lines;
    if (again)
        Note("Di nuovo collegato a " + ServerLabel());
}

void Connection::Impl::AttachAgainIfLost()
{
    if (handle == 0 && lost)
        Attach(attachParams);
}

void Connection::Impl::MarkLost() noexcept
{
    if (handle == 0)
        return;
    isc_db_handle dying = handle;
    ForgetAttachment();
    // The port is already broken, so this only frees what the client library
    // kept for the attachment; its answer does not matter.
    Status status;
    isc_detach_database(&status, &dying);
}

void Connection::Impl::ForgetAttachment() noexcept
{
    for (Transaction* transaction : transactions)
        transaction->impl().ForgetHandles();
    handle = 0;
    ForgetFacts();
    lost = true;
}

void Connection::Impl::ForgetFacts() noexcept
{
    attachmentId = 0;
    factsKnown = false;
}

void Connection::Impl::LearnFacts()
{
    if (handle == 0 || factsKnown)
        return;
    Run([this] { AdoptDialect(); });
}

void Connection::Impl::AdoptFacts(std::int64_t id, std::optional<std::int64_t> dialect)
{
    attachmentId = id;
    if (dialect && *dialect > 0 && *dialect < sqlDialect)
        sqlDialect = static_cast<int>(*dialect);
    factsKnown = true;
}

void Connection::Impl::AdoptDialect()
{
    // The attachment's number comes in the same answer: the station names its
    // own attachment by it after the link is lost.
    const char items[] = {isc_info_db_sql_dialect, isc_info_attachment_id, isc_info_end};
    std::array<char, 64> result{};
    Status status;
    attachmentId = 0;
    isc_database_info(&status, &handle, sizeof(items), items, static_cast<short>(result.size()),
                      result.data());
    if (status.Failed()) {
        try {
            Check(status);
        } catch (const ConnectionLostError&) {
            throw; // nothing learnt: asked again on the next attachment
        } catch (const DatabaseError&) {
            factsKnown = true; // an old server that does not know: keep the dialect asked for
            return;
        }
    }
    factsKnown = true;
    for (std::size_t at = 0; at + 3 <= result.size() && result[at] != isc_info_end;) {
        const char item = result[at];
        const short length = static_cast<short>(isc_vax_integer(result.data() + at + 1, 2));
        if (length < 0 || at + 3 + static_cast<std::size_t>(length) > result.size())
            break;
        const ISC_INT64 value = isc_portable_integer(reinterpret_cast<const ISC_UCHAR*>(result.data() + at + 3), length);
        if (item == isc_info_db_sql_dialect) {
            const int dialect = static_cast<int>(value);
            if (dialect > 0 && dialect < sqlDialect)
                sqlDialect = dialect;
        } else if (item == isc_info_attachment_id) {
            attachmentId = value;
        } else {
            break; // isc_info_error or truncated: nothing more to learn
        }
        at += 3 + static_cast<std::size_t>(length);
    }
}

void Connection::Impl::Detach() noexcept
{
    if (handle == 0)
        return;
    if (running) {
        // Called from inside the wait for a call: the handles are dropped only
        // once the call is cut and its thread has left them; the link is
        // broken by then, so there is nothing left to end on the server.
        if (CutCallOut()) {
            MarkLost();
            lost = false;
        }
        return;
    }
    try {
        Run([this] {
            // The default transaction first, then any other one bound here.
            if (defaultTransaction)
                defaultTransaction->impl().FinishHere();
            for (Transaction* transaction : transactions)
                transaction->impl().FinishHere();
            Status status;
            isc_detach_database(&status, &handle);
            handle = 0; // a failed detach (link already gone) leaves nothing we could use
        });
    } catch (...) {
        // Cut off: the link is gone with whatever was open on it.
        MarkLost();
    }
    lost = false;
    handle = 0;
    ForgetFacts();
}

Connection::Connection() : d_(std::make_unique<Impl>()) {}

Connection::~Connection()
{
    d_->Detach();
    for (Transaction* transaction : d_->transactions) {
        for (CursorOwner* owner : transaction->impl().cursors)
            owner->ForgetConnection();
        transaction->impl().connection = nullptr;
    }
}

const std::string& Connection::DatabaseName() const { return d_->databaseName; }
void Connection::SetDatabaseName(std::string name) { d_->databaseName = std::move(name); }
std::vector<std::string>& Connection::Params() { return d_->params; }
const std::vector<std::string>& Connection::Params() const { return d_->params; }
const std::vector<std::string>& Connection::AttachedParams() const { return d_->attachParams; }
bool Connection::CallOut() const { return d_->running; }
int Connection::SQLDialect() const
{
    if (d_->handle != 0 && !d_->factsKnown && !d_->running) {
        try {
            WatchLink(const_cast<Connection*>(this), [this] { d_->LearnFacts(); });
        } catch (const DatabaseError&) {
            // Not learnt now: the dialect asked for holds until it is.
        }
    }
    return d_->sqlDialect;
}
void Connection::SetSQLDialect(int dialect) { d_->sqlDialect = dialect; }
bool Connection::LoginPrompt() const { return d_->loginPrompt; }
void Connection::SetLoginPrompt(bool on) { d_->loginPrompt = on; }
bool Connection::Connected() const { return d_->handle != 0; }
std::int64_t Connection::AttachmentId() const { return d_->attachmentId; }

void Connection::SetConnected(bool on)
{
    if (!on)
        d_->lost = false; // asked to stay detached: nothing attaches again by itself
    if (on == Connected())
        return;
    if (on)
        d_->Attach(d_->params);
    else
        d_->Detach();
}

void Connection::CreateDatabase()
{
    if (Connected())
        throw DatabaseError("Database is already connected");
    if (d_->databaseName.empty())
        throw DatabaseError("Database name is missing");
    std::string statement = "CREATE DATABASE '";
    // This statement cannot ask for UTF-8 text: the client reads the name and
    // the credentials in the system's code page.
    const unsigned codePage = SystemCodePage();
    for (char c : FileNameForClient(d_->databaseName, codePage)) {
        statement += c;
        if (c == '\'')
            statement += '\''; // a quote in a path stays part of the literal
    }
    statement += "' ";
    statement += InCodePage(JoinLines(d_->params), codePage, "The user name or password");
    // A server that did not answer the attach a moment ago would not answer
    // this either: the wait is not made twice.
    if (!d_->AnsweredLately(d_->databaseName))
        throw d_->NoAnswer();
    const unsigned short dialect = static_cast<unsigned short>(d_->sqlDialect);
    d_->attachConfig.clear();
    d_->handle = d_->OpenWithin(
        [statement, dialect](Status& status, isc_db_handle& newHandle) {
            isc_tr_handle noTransaction = 0;
            isc_dsql_execute_immediate(&status, &newHandle, &noTransaction, 0, statement.c_str(), dialect, nullptr);
        },
        "create\n" + statement, d_->SecondsLeft());
    ++d_->attachment;
    d_->lost = false;
    // The create lines are no attach parameters; attaching again after a lost
    // link uses the credentials they carry.
    d_->attachParams = AttachLinesFromCreate(d_->params);
    d_->ForgetFacts();
}

Transaction* Connection::DefaultTransaction() const { return d_->defaultTransaction; }
void Connection::SetDefaultTransaction(Transaction* transaction)
{
    d_->defaultTransaction = transaction;
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::size_t size = 0;
    for (const std::string& line : lines)
        size += line.size() + 2;
    std::string text;
    text.reserve(size);
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

} // namespace dataaccess
