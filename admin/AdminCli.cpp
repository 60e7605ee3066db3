#include "AdminCli.h"

#include "AdminCommands.h"
#include "FileRights.h"
#include "ParcelCsv.h"
#include "Passwords.h"
#include "SchemaScript.h"
#include "ShiftReport.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Transaction.h>
#include <parcels/WrongEanBatch.h>

#include <QDate>
#include <QSaveFile>
#include <QString>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace admin {
namespace {

const char* const kUsage =
    "Usage: colli-admin [--user NAME] [--password-file FILE | --ask-password] [--wait SECONDS]\n"
    "                   [--allow-plain-link] COMMAND DB [ARGS]\n"
    "\n"
    "Looks after the parcel database of the check station.\n"
    "\n"
    "Commands:\n"
    "  init DB                      create the database when missing, and the tables,\n"
    "                               generator and index it lacks\n"
    "  import DB FILE.csv           load parcels: BARCODESPEED;CODICEEAN[;CODICEEAN_ERRATO]\n"
    "  export-log DB [--from DATE] [--to DATE]\n"
    "                               write the scan log as CSV on standard output\n"
    "  station-user DB NAME [--role ROLE] [--station-password-file FILE]\n"
    "                               create or update the stations' own account, with\n"
    "                               only the rights a station uses\n"
    "  sessions DB                  list who is attached, their open transactions and\n"
    "                               the statements running\n"
    "  end-session DB ID            end one attachment (its open work is rolled back)\n"
    "  integrate-wrong-eans DB      fill every missing faulty EAN, all or nothing\n"
    "  new-password                 print a new random password (24 characters)\n"
    "  report DB [--from DATE] [--to DATE] [--csv FILE] [--html FILE] [--pdf FILE]\n"
    "                               the shift report: outcomes per hour, unknown codes,\n"
    "                               verifications left halfway\n"
    "\n"
    "DB is a local file, HOST:PATH, HOST/PORT:PATH or a server alias.\n"
    "Credentials: --user, else ISC_USER, else SYSDBA. The password: --password-file\n"
    "FILE (its first line; - reads standard input), --ask-password (asked on the\n"
    "terminal, not shown), else ISC_PASSWORD; a local database file needs none.\n"
    "--password WORD still works but is not safe: while colli-admin runs, every user\n"
    "of the machine can read WORD in the process list, and it stays in the shell's\n"
    "history.\n"
    "--wait SECONDS: how long one call may wait for a server that is busy (default\n"
    "300, at most 3600); reaching the server keeps the 10-second bound. While it\n"
    "waits colli-admin says so on standard error every 5 seconds; Ctrl-C stops it,\n"
    "and the server drops what was not committed.\n"
    "A server is attached only over an encrypted link with an Srp login\n"
    "(WireCrypt = Required, AuthClient = Srp256, Srp); --allow-plain-link lets an\n"
    "old server without them be used, sending the password's legacy hash and\n"
    "everything else in clear.\n"
    "Run 'colli-admin COMMAND --help' for a command's details.\n";

const std::map<std::string, std::string> kCommandHelp = {
    {"init",
     "Usage: colli-admin init DB\n"
     "\n"
     "Creates the database DB (page size 4096, dialect 3) when it does not exist, then\n"
     "the tables COLLI and LOGSPARATE, the generator IDLOGSPARATECOUNTER, the indexes,\n"
     "triggers and procedures when they are missing, among them the log of parcel\n"
     "changes that the stations' copies of the parcels read. On a database made by\n"
     "an older colli-admin it adds what is new and gives every station role exactly\n"
     "the station's rights: the roles station-user recorded (or that an older\n"
     "COLLI_BU names); a role that only has rights alike is reported, not changed.\n"
     "Running it again changes nothing.\n"},
    {"import",
     "Usage: colli-admin import DB FILE.csv\n"
     "\n"
     "Loads parcels from FILE.csv, one per line: BARCODESPEED;CODICEEAN[;CODICEEAN_ERRATO]\n"
     "(';' or ',' as the first line uses; a header line is optional; fields may be\n"
     "double-quoted). New parcels are inserted, existing ones updated by BARCODESPEED.\n"
     "An empty EAN field stores NULL; a line with two fields keeps the faulty EAN an\n"
     "existing parcel already has. The file may be UTF-8 or Windows-1252 text.\n"
     "All lines are loaded in one transaction: any bad line is reported with its line\n"
     "number and nothing is imported.\n"},
    {"export-log",
     "Usage: colli-admin export-log DB [--from YYYY-MM-DD] [--to YYYY-MM-DD]\n"
     "\n"
     "Writes the rows of LOGSPARATE, oldest first, as CSV (UTF-8 with a BOM, ';') on\n"
     "standard output: ID;DATAORA;BARCODESPEED;CODICEEANLETTO;STATUS. --from and --to\n"
     "limit the rows to those days, both included.\n"},
    {"sessions",
     "Usage: colli-admin sessions DB\n"
     "\n"
     "Lists the attachments of DB: ID, account, role, address, program and since\n"
     "when; each one's open transactions with their age and kind (isolation, read-only,\n"
     "how long it waits for locks), and the statements running or stalled. A table\n"
     "that a transaction holds reserved (SET TRANSACTION ... RESERVING), which makes\n"
     "every other writer wait, is named; the server does not tell which transaction\n"
     "holds it. Run it as SYSDBA (or the owner) to see every account's attachments.\n"},
    {"end-session",
     "Usage: colli-admin end-session DB ID\n"
     "\n"
     "Ends the attachment ID (from colli-admin sessions): the server rolls back its\n"
     "open transactions and drops it; the program on the other side gets an error\n"
     "at its next call. Run it as SYSDBA or the owner.\n"},
    {"integrate-wrong-eans",
     "Usage: colli-admin integrate-wrong-eans DB\n"
     "\n"
     "Fills CODICEEAN_ERRATO of every parcel where it is empty and CODICEEAN has 13\n"
     "characters, as the station's button \"Integrazione EAN errati\" does, without\n"
     "asking: all rows in one transaction, committed at the end or not at all. A\n"
     "faulty EAN already set is never changed. Progress goes to the terminal.\n"
     "Exit status 0 when the run was committed or there was nothing to fill, 1\n"
     "otherwise.\n"},
    {"new-password",
     "Usage: colli-admin new-password\n"
     "\n"
     "Prints 24 characters from the system's random source (letters and digits\n"
     "without look-alikes): a password for SYSDBA that cannot be guessed. Keep it\n"
     "in a password file readable by its owner alone (--password-file).\n"},
    {"report",
     "Usage: colli-admin report DB [--from YYYY-MM-DD] [--to YYYY-MM-DD]\n"
     "                          [--csv FILE|-] [--html FILE] [--pdf FILE]\n"
     "\n"
     "The shift report of the scan log, for the days from --from to --to (both\n"
     "included, by the server's time of each row; default today, and --from alone\n"
     "runs to today). At least one output:\n"
     "  --csv FILE   one line per hour with rows, the outcomes counted, a last line\n"
     "               Totale (UTF-8 with a BOM, ';'); - writes standard output\n"
     "  --html FILE  one self-contained page in Italian, printable on A4: the chart of\n"
     "               the outcomes per hour, the totals, unknown courier codes and EANs,\n"
     "               parcels whose verification was left halfway or done twice, and,\n"
     "               where the log has the columns, rows per account and workstation\n"
     "               and outcomes decided from the station's copy\n"
     "  --pdf FILE   the same page as an A4 PDF\n"
     "Every count is made by the server; a file is replaced only when it is complete.\n"},
    {"station-user",
     "Usage: colli-admin station-user DB NAME [--role ROLE] [--station-password-file FILE]\n"
     "                                 [--revoke-public]\n"
     "\n"
     "Creates the Firebird user NAME (plugin Srp) for the stations, or sets its\n"
     "password when it exists, and the role ROLE (default COLLI_STATION) with exactly\n"
     "the rights a station uses: SELECT on COLLI, UPDATE of CODICEEAN_ERRATO (only\n"
     "where it is empty), INSERT into LOGSPARATE and EXECUTE of SCANSIONE_REGISTRATA\n"
     "and of COLLI_MODIFICHE_DOPO (the parcel changes, for the station's copy).\n"
     "A role that exists loses every other privilege it had, and NAME every other\n"
     "right and role; then the role is granted to NAME. An administrator, the\n"
     "database's owner, a holder of RDB$ADMIN or a user that a mapping turns into an\n"
     "administrator or another user is refused. Rights that PUBLIC holds on the\n"
     "parcel objects are reported; --revoke-public takes them back. Run it as SYSDBA on the\n"
     "server database the stations use, after init; run it again to set a new\n"
     "password (after an operator changed it) or to take back extra rights.\n"
     "\n"
     "The new account's password comes from --station-password-file FILE (its first\n"
     "line; - reads standard input), else COLLI_STATION_PASSWORD, else it is asked\n"
     "twice on the terminal, not shown. It is UTF-8 text and may not be empty, start\n"
     "or end with a blank, or be enclosed in quotes (dati.ini would drop them).\n"
     "\n"
     "Then give each station's dati.ini, section [CONFIG], the keys\n"
     "Utente=NAME, Password=the password and Ruolo=ROLE.\n"},
};

// Rows another station holds are waited for less than a call's bound (10 s),
// so that the lock conflict, not a missing answer, is what gets reported.
constexpr int kLockTimeoutSeconds = 6;
constexpr auto kWaitNoticeEvery = std::chrono::seconds(5);

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where the administrator's password comes from; the last option given wins.
struct PasswordSource {
    enum Kind { Default, Environment, Word, File, Ask } kind = Default;
    std::string value;
};

struct Invocation {
    std::string command;
    std::vector<std::string> positional;
    std::optional<std::string> from, to, role, stationPasswordFile, csv, html, pdf;
    Credentials credentials;
    bool help = false;
    bool revokePublic = false;
    PasswordSource passwordSource;
    int longWorkSeconds = dataaccess::LongWork::kDefaultSeconds;
};

// Tells the terminal what a long wait is for; the wait itself is bounded by
// the connection.
class TerminalWaitNotice : public dataaccess::LinkMonitor {
public:
    TerminalWaitNotice(std::ostream& err, std::string server) : err_(err), server_(std::move(server)) {}

    bool Waiting(std::chrono::milliseconds elapsed) override
    {
        const auto steps = elapsed / kWaitNoticeEvery;
        if (steps > told_) {
            told_ = steps;
            err_ << "colli-admin: waiting for the server " << server_ << ": "
                 << std::chrono::duration_cast<std::chrono::seconds>(elapsed).count() << " s (Ctrl-C stops)"
                 << std::endl;
        }
        return true;
    }
    void WaitOver(std::chrono::milliseconds) override { told_ = 0; }
    void Note(const std::string&) override {}

private:
    std::ostream& err_;
    std::string server_;
    std::chrono::milliseconds::rep told_ = 0;
};

// One command's attachment: long work's bound for its calls, the notice, and
// the lock wait.
struct CommandConnection {
    CommandConnection(const Invocation& inv, std::ostream& err, int lockTimeout = kLockTimeoutSeconds)
        : notice(err, dataaccess::ServerOf(inv.positional.at(0))),
          longWork(connection, inv.longWorkSeconds)
    {
        connection.SetDefaultTransaction(&transaction);
        connection.SetLinkMonitor(&notice);
        transaction.SetLockTimeout(lockTimeout);
    }
    TerminalWaitNotice notice;
    dataaccess::Connection connection;
    dataaccess::Transaction transaction{connection};
    dataaccess::LongWork longWork;
};

Invocation Parse(const std::vector<std::string>& args)
{
    Invocation inv;
    PasswordSource& source = inv.passwordSource;
    if (const auto u = EnvironmentText("ISC_USER"); u && !u->empty())
        inv.credentials.user = *u;
    if (const auto p = EnvironmentText("ISC_PASSWORD"); p && !p->empty())
        source = {PasswordSource::Environment, *p};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* option) {
            if (i + 1 >= args.size())
                throw UsageError(std::string(option) + " needs a value");
            return args[++i];
        };
        if (a == "-h" || a == "--help")
            inv.help = true;
        else if (a == "-u" || a == "--user")
            inv.credentials.user = value("--user");
        else if (a == "-p" || a == "--password")
            source = {PasswordSource::Word, value("--password")};
        else if (a == "--password-file")
            source = {PasswordSource::File, value("--password-file")};
        else if (a == "--ask-password")
            source = {PasswordSource::Ask, {}};
        else if (a == "--allow-plain-link")
            inv.credentials.allowPlainLink = true;
        else if (a == "--revoke-public")
            inv.revokePublic = true;
        else if (a == "--station-password-file")
            inv.stationPasswordFile = value("--station-password-file");
        else if (a == "--role")
            inv.role = value("--role");
        else if (a == "--from")
            inv.from = value("--from");
        else if (a == "--to")
            inv.to = value("--to");
        else if (a == "--csv")
            inv.csv = value("--csv");
        else if (a == "--html")
            inv.html = value("--html");
        else if (a == "--pdf")
            inv.pdf = value("--pdf");
        else if (a == "--wait") {
            const QString text = QString::fromStdString(value("--wait"));
            bool ok = false;
            inv.longWorkSeconds = text.toInt(&ok);
            constexpr int most = dataaccess::LongWork::kMostSeconds;
            if (!ok || inv.longWorkSeconds < 1 || inv.longWorkSeconds > most)
                throw UsageError("--wait takes whole seconds from 1 to " + std::to_string(most));
        }
        else if (a.size() > 1 && a[0] == '-')
            throw UsageError("unknown option " + a);
        else if (inv.command.empty())
            inv.command = a;
        else
            inv.positional.push_back(a);
    }
    if (source.kind == PasswordSource::File && source.value == "-" && inv.stationPasswordFile == "-")
        throw UsageError("only one password can come from standard input");
    return inv;
}

void Expect(const Invocation& inv, size_t count)
{
    if (inv.positional.size() != count)
        throw UsageError("'" + inv.command + "' takes " + std::to_string(count) +
                         (count == 1 ? " argument" : " arguments"));
    if ((inv.from || inv.to) && inv.command != "export-log" && inv.command != "report")
        throw UsageError("--from and --to belong to export-log and report");
    if ((inv.csv || inv.html || inv.pdf) && inv.command != "report")
        throw UsageError("--csv, --html and --pdf belong to report");
    if (inv.command == "report" && !inv.csv && !inv.html && !inv.pdf)
        throw UsageError("report needs at least one of --csv, --html and --pdf");
    if ((inv.role || inv.stationPasswordFile || inv.revokePublic) && inv.command != "station-user")
        throw UsageError("--role, --station-password-file and --revoke-public belong to station-user");
    for (const auto& date : {inv.from, inv.to}) {
        if (date && !QDate::fromString(QString::fromStdString(*date), "yyyy-MM-dd").isValid())
            throw UsageError("a date is written YYYY-MM-DD, not '" + *date + "'");
    }
}

std::string ReadFile(const std::string& path)
{
    // Arguments are UTF-8 everywhere; a plain string would be the ANSI code page on Windows.
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A database the station opens with the embedded engine, in a folder where
// Users may only read (as the installer makes the program's): the station's
// process writes that one file, so Users get read and write on it alone.
void LetStationWrite(const std::string& name, std::ostream& out, std::ostream& err)
{
#ifdef _WIN32
    std::error_code ignored;
    if (!dataaccess::ServerOf(name).empty() ||
        !std::filesystem::is_regular_file(std::filesystem::path(QString::fromStdString(name).toStdWString()), ignored))
        return;
    try {
        LetUsersWrite(name);
        out << "gave BUILTIN\\Users read and write on " << name << " (the station's embedded engine writes it)\n";
    } catch (const std::exception& e) {
        err << "colli-admin: warning: " << e.what() << "; a station that opens " << name
            << " itself needs read and write on it\n";
    }
#else
    (void)name, (void)out, (void)err;
#endif
}

int Init(const Invocation& inv, std::ostream& out, std::ostream& err)
{
    CommandConnection command(inv, err);
    dataaccess::Connection& connection = command.connection;
    dataaccess::Transaction& transaction = command.transaction;
    if (AttachOrCreate(connection, inv.positional[0], inv.credentials)) {
        out << "created database " << inv.positional[0] << '\n';
        LetStationWrite(inv.positional[0], out, err);
    }
    const auto created = CreateMissingSchema(connection, transaction, SchemaScript());
    for (const auto& name : created)
        out << "created " << name << '\n';
    const auto upgraded = UpgradeStationRoles(connection, transaction);
    for (const auto& line : upgraded)
        out << line << '\n';
    if (created.empty() && upgraded.empty())
        out << "nothing to create\n";
    return 0;
}

int Import(const Invocation& inv, std::ostream& out, std::ostream& err, bool progressOnTerminal)
{
    const ParsedCsv csv = ParseParcelCsv(ReadFile(inv.positional[1]));
    CommandConnection command(inv, err);
    dataaccess::Connection& connection = command.connection;
    dataaccess::Transaction& transaction = command.transaction;
    Attach(connection, inv.positional[0], inv.credentials);

    auto problems = csv.problems;
    if (problems.empty())
        problems = CheckWidths(csv.rows, ReadParcelColumnWidths(connection, transaction));
    if (!problems.empty()) {
        for (const auto& p : problems)
            err << inv.positional[1] << ":" << p.lineNumber << ": " << p.message << '\n';
        err << "nothing imported\n";
        return 1;
    }
    const size_t total = csv.rows.size();
    int lastPercent = -1;
    ImportParcels(connection, transaction, csv.rows, [&](size_t done) {
        if (!progressOnTerminal || total == 0)
            return;
        const int percent = static_cast<int>(done * 100 / total);
        if (percent == lastPercent)
            return;
        lastPercent = percent;
        const int width = 40;
        err << "\r[" << std::string(percent * width / 100, '#') << std::string(width - percent * width / 100, ' ')
            << "] " << percent << "% " << done << "/" << total << std::flush;
    });
    if (progressOnTerminal && total > 0)
        err << '\n';
    out << "imported " << total << (total == 1 ? " parcel\n" : " parcels\n");
    return 0;
}

int Export(const Invocation& inv, std::ostream& out, std::ostream& err)
{
    CommandConnection command(inv, err);
    Attach(command.connection, inv.positional[0], inv.credentials);
    ExportLog(command.connection, command.transaction, inv.from, inv.to, out);
    return 0;
}

// The steps of a report on one line of the terminal, once it has taken a
// second. It stands for the notice of a busy server: a long query is the
// server at work, and the line already says how long it takes.
class ReportProgress : public dataaccess::LinkMonitor {
public:
    ReportProgress(std::ostream& err, dataaccess::LinkMonitor& notice) : err_(err), notice_(notice) {}
    ~ReportProgress() override
    {
        if (shown_)
            err_ << '\n' << std::flush;
    }
    ReportProgress(const ReportProgress&) = delete;
    ReportProgress& operator=(const ReportProgress&) = delete;

    void Step(int step, int steps)
    {
        step_ = step;
        steps_ = steps;
        Show();
    }
    bool Waiting(std::chrono::milliseconds) override
    {
        Show();
        return true;
    }
    void WaitOver(std::chrono::milliseconds waited) override { notice_.WaitOver(waited); }
    void Note(const std::string& text) override { notice_.Note(text); }

private:
    void Show()
    {
        const auto elapsed = std::chrono::steady_clock::now() - start_;
        if (elapsed < std::chrono::seconds(1) || step_ == 0)
            return;
        const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100;
        if (tenths == lastTenths_)
            return;
        lastTenths_ = tenths;
        shown_ = true;
        err_ << "\rcolli-admin: report: query " << step_ << " of " << steps_ << ", " << tenths / 10 << '.'
             << tenths % 10 << " s " << std::flush;
    }

    std::ostream& err_;
    dataaccess::LinkMonitor& notice_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    int step_ = 0;
    int steps_ = 0;
    long long lastTenths_ = -1;
    bool shown_ = false;
};

// A file is replaced only once all of it is written.
void WriteWhole(const std::string& path, const std::string& bytes)
{
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
                                                 static_cast<qint64>(bytes.size()) ||
        !file.commit())
        throw std::runtime_error("cannot write " + path + ": " + file.errorString().toStdString());
}

int Report(const Invocation& inv, std::ostream& out, std::ostream& err, bool progressOnTerminal)
{
    const LogDays days = ReportDays(ParseLogDays(inv.from, inv.to), QDate::currentDate());
    CommandConnection command(inv, err);
    std::optional<ReportProgress> progress;
    if (progressOnTerminal) {
        progress.emplace(err, command.notice);
        command.connection.SetLinkMonitor(&*progress);
    }
    Attach(command.connection, inv.positional[0], inv.credentials);
    const ShiftReport report = ReadShiftReport(command.connection, command.transaction, days, [&](int step, int steps) {
        if (progress)
            progress->Step(step, steps);
    });
    command.connection.SetLinkMonitor(&command.notice);
    progress.reset();
    if (inv.csv) {
        std::ostringstream csv;
        WriteReportCsv(report, csv);
        if (*inv.csv == "-")
            out << csv.str() << std::flush;
        else
            WriteWhole(*inv.csv, csv.str());
    }
    if (inv.html)
        WriteWhole(*inv.html, ReportHtml(report));
    if (inv.pdf)
        WriteReportPdf(report, *inv.pdf);
    return 0;
}

void ResolvePassword(Invocation& inv, const PasswordPrompt& ask, std::ostream& err)
{
    const PasswordSource& source = inv.passwordSource;
    switch (source.kind) {
    case PasswordSource::Environment:
    case PasswordSource::Word:
        inv.credentials.password = source.value;
        break;
    case PasswordSource::File:
        if (const auto warning = PasswordFileWarning(source.value); !warning.empty())
            err << "colli-admin: warning: " << warning << '\n';
        inv.credentials.password = ReadPasswordFile(source.value);
        break;
    case PasswordSource::Ask:
        if (!ask)
            throw std::runtime_error("no terminal to ask for the password on");
        inv.credentials.password = ask("Password of " + inv.credentials.user + ": ");
        break;
    case PasswordSource::Default:
        // The published default would only fail or, worse, work: a server is
        // never tried with it unasked. A local file opened by the embedded
        // engine takes no password.
        if (!dataaccess::ServerOf(inv.positional.at(0)).empty())
            throw std::invalid_argument("no password given for " + inv.credentials.user +
                                        ": use --ask-password, --password-file FILE or ISC_PASSWORD");
        break;
    }
}

std::string StationPassword(const Invocation& inv, const PasswordPrompt& ask, std::ostream& err)
{
    std::string password;
    if (inv.stationPasswordFile) {
        if (const auto warning = PasswordFileWarning(*inv.stationPasswordFile); !warning.empty())
            err << "colli-admin: warning: " << warning << '\n';
        password = ReadPasswordFile(*inv.stationPasswordFile);
    } else if (const auto p = EnvironmentText("COLLI_STATION_PASSWORD"); p && !p->empty()) {
        password = *p;
    } else {
        if (!ask)
            throw std::runtime_error("no password for the station account: give --station-password-file "
                                     "or COLLI_STATION_PASSWORD, or run it on a terminal");
        password = ask("New password of " + inv.positional[1] + ": ");
        if (const auto problem = PasswordProblem(password); !problem.empty())
            throw std::invalid_argument(problem);
        if (ask("The same password again: ") != password)
            throw std::invalid_argument("the two passwords differ");
    }
    if (const auto problem = PasswordProblem(password); !problem.empty())
        throw std::invalid_argument(problem);
    return password;
}

int StationUser(const Invocation& inv, std::ostream& out, std::ostream& err, const PasswordPrompt& ask)
{
    StationAccount account;
    account.user = inv.positional[1];
    if (inv.role)
        account.role = *inv.role;
    account = CheckedStationAccount(account);
    account.password = StationPassword(inv, ask, err);
    CommandConnection command(inv, err, 0);
    // The names and the password in the DDL are UTF-8, and so is what the
    // station sends from dati.ini.
    Attach(command.connection, inv.positional[0], inv.credentials, "UTF8");
    for (const auto& line : SetUpStationAccount(command.connection, command.transaction, account, inv.revokePublic))
        out << line << '\n';
    return 0;
}

int Sessions(const Invocation& inv, std::ostream& out, std::ostream& err)
{
    CommandConnection command(inv, err);
    Attach(command.connection, inv.positional[0], inv.credentials);
    ListSessions(command.connection, command.transaction, out);
    return 0;
}

int EndSessionCommand(const Invocation& inv, std::ostream& out, std::ostream& err)
{
    bool ok = false;
    const qlonglong id = QString::fromStdString(inv.positional[1]).toLongLong(&ok);
    if (!ok || id <= 0)
        throw UsageError("an attachment ID is a whole number, not '" + inv.positional[1] + "'");
    CommandConnection command(inv, err);
    Attach(command.connection, inv.positional[0], inv.credentials);
    EndSession(command.connection, command.transaction, id);
    out << "ended attachment " << id << '\n';
    return 0;
}

// The batch on a terminal: no question (a night job has nobody to ask), the
// station's texts on standard error, the bar when there is a terminal.
class TerminalBatchUi : public parcels::BatchUi {
public:
    TerminalBatchUi(std::ostream& out, std::ostream& err, bool progressOnTerminal)
        : out_(out), err_(err), bar_(progressOnTerminal)
    {
    }
    void Warning(const std::string& text) override
    {
        err_ << "colli-admin: " << Lines(text) << '\n';
        nothingToFill_ = !started_;
    }
    void Error(const std::string& text) override { err_ << "colli-admin: " << Lines(text) << '\n'; }
    void Information(const std::string& text) override
    {
        out_ << Lines(text) << '\n';
        completed_ = true;
    }
    bool Confirm(const std::string& text) override
    {
        out_ << Lines(text) << " yes\n";
        return true;
    }
    void Progress(long long done, long long total) override
    {
        started_ = true;
        if (!bar_ || total <= 0)
            return;
        const int percent = static_cast<int>(done * 100 / total);
        if (percent == lastPercent_)
            return;
        lastPercent_ = percent;
        const int width = 40;
        err_ << "\r[" << std::string(percent * width / 100, '#') << std::string(width - percent * width / 100, ' ')
             << "] " << percent << "%" << std::flush;
    }
    void ProgressFinished() override
    {
        if (bar_ && lastPercent_ >= 0)
            err_ << '\n';
    }
    bool Succeeded() const { return completed_ || nothingToFill_; }

private:
    static std::string Lines(std::string text)
    {
        for (char& c : text)
            if (c == '\r')
                c = '\n';
        return text;
    }
    std::ostream& out_;
    std::ostream& err_;
    bool bar_;
    int lastPercent_ = -1;
    bool started_ = false;
    bool completed_ = false;
    bool nothingToFill_ = false;
};

int IntegrateWrongEans(const Invocation& inv, std::ostream& out, std::ostream& err, bool progressOnTerminal)
{
    CommandConnection command(inv, err);
    Attach(command.connection, inv.positional[0], inv.credentials);
    TerminalBatchUi ui(out, err, progressOnTerminal);
    parcels::RunWrongEanBatch(command.connection, command.transaction, ui);
    return ui.Succeeded() ? 0 : 1;
}

} // namespace

int RunAdminCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool progressOnTerminal, const PasswordPrompt& ask)
{
    Invocation inv;
    try {
        inv = Parse(args);
        if (inv.passwordSource.kind == PasswordSource::Word)
            err << "colli-admin: warning: --password shows the password to every user of this machine; "
                   "use --password-file, --ask-password or ISC_PASSWORD\n";
        if (inv.command.empty()) {
            (inv.help ? out : err) << kUsage;
            return inv.help ? 0 : 2;
        }
        const auto help = kCommandHelp.find(inv.command);
        if (help == kCommandHelp.end())
            throw UsageError("unknown command '" + inv.command + "'");
        if (inv.help) {
            out << help->second;
            return 0;
        }
        if (inv.command == "new-password") {
            Expect(inv, 0);
            out << NewPassword() << '\n';
            return 0;
        }
        Expect(inv, inv.command == "import" || inv.command == "station-user" || inv.command == "end-session" ? 2 : 1);
        ResolvePassword(inv, ask, err);
        if (inv.command == "init")
            return Init(inv, out, err);
        if (inv.command == "import")
            return Import(inv, out, err, progressOnTerminal);
        if (inv.command == "station-user")
            return StationUser(inv, out, err, ask);
        if (inv.command == "sessions")
            return Sessions(inv, out, err);
        if (inv.command == "end-session")
            return EndSessionCommand(inv, out, err);
        if (inv.command == "integrate-wrong-eans")
            return IntegrateWrongEans(inv, out, err, progressOnTerminal);
        if (inv.command == "report")
            return Report(inv, out, err, progressOnTerminal);
        return Export(inv, out, err);
    } catch (const UsageError& e) {
        err << "colli-admin: " << e.what() << '\n';
        const auto help = kCommandHelp.find(inv.command);
        err << (help != kCommandHelp.end() ? help->second : std::string(kUsage));
        return 2;
    } catch (const std::invalid_argument& e) {
        err << "colli-admin: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::string message = e.what();
        for (auto& c : message)
            if (c == '\r')
                c = ' ';
        err << "colli-admin: " << message << '\n';
        return 1;
    }
}

} // namespace admin
