#include "printing/CupsPlatform.h"

#include "printing/DeviceString.h"
#include "printing/PrintError.h"

#include <cups/cups.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace printing {
namespace {

constexpr const char* kNoDefaultPrinter = "There is no default printer currently selected";
constexpr const char* kPrinterNotValid = "Printer selected is not valid";

struct DestDeleter {
    void operator()(cups_dest_t* dest) const { cupsFreeDests(1, dest); }
};
using DestPtr = std::unique_ptr<cups_dest_t, DestDeleter>;

struct DestInfoDeleter {
    void operator()(cups_dinfo_t* info) const { cupsFreeDestInfo(info); }
};
using DestInfoPtr = std::unique_ptr<cups_dinfo_t, DestInfoDeleter>;

struct HttpDeleter {
    void operator()(http_t* http) const { httpClose(http); }
};
using HttpPtr = std::unique_ptr<http_t, HttpDeleter>;

// The whole list of destinations cupsGetDests2 hands out.
class DestList {
public:
    DestList() { count_ = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests_); }
    ~DestList() { cupsFreeDests(count_, dests_); }
    DestList(const DestList&) = delete;
    DestList& operator=(const DestList&) = delete;

    void MakeDefault(const std::string& name)
    {
        for (int i = 0; i < count_; ++i)
            dests_[i].is_default = 0;
        if (name.empty())
            return;
        if (cupsGetDest(name.c_str(), nullptr, count_, dests_) == nullptr)
            count_ = cupsAddDest(name.c_str(), nullptr, count_, &dests_);
        cupsGetDest(name.c_str(), nullptr, count_, dests_)->is_default = 1;
    }

    bool Save()
    {
        errno = 0;
        return cupsSetDests2(CUPS_HTTP_DEFAULT, count_, dests_) == 0;
    }

private:
    int count_ = 0;
    cups_dest_t* dests_ = nullptr;
};

std::string OptionOf(const cups_dest_t& dest, const char* name)
{
    const char* value = cupsGetOption(name, dest.num_options, dest.options);
    return value ? value : "";
}

PrinterRecord RecordOf(const cups_dest_t& dest)
{
    return PrinterRecord{dest.name, OptionOf(dest, "printer-make-and-model"), OptionOf(dest, "device-uri")};
}

[[noreturn]] void ThrowUnreachable()
{
    if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND)
        throw PrintError(kNoDefaultPrinter);
    throw PrintError(std::string(kPrinterNotValid) + ": " + cupsLastErrorString());
}

// The user's home as libcups finds it: HOME, else the password database.
std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"))
        return home;
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

// Every file where libcups may keep this user's default destination: the
// user's own, and for root the server-wide one (libcups versions differ).
std::vector<std::string> LpoptionsPaths()
{
    std::vector<std::string> paths;
    const std::string home = HomeFolder();
    if (!home.empty())
        paths.push_back(home + "/.cups/lpoptions");
    if (::getuid() == 0) {
        const char* root = std::getenv("CUPS_SERVERROOT");
        paths.push_back(std::string(root ? root : "/etc/cups") + "/lpoptions");
    }
    return paths;
}

std::string ParentOf(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

// Why saving the destinations failed. libcups tells a file it could not write
// only through errno, leaving its own status at "successful-ok".
std::string SaveFailure(int error)
{
    if (cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE)
        return cupsLastErrorString();
    const std::string cause = error ? std::strerror(error) : "unknown error";
    for (const std::string& path : LpoptionsPaths()) {
        const bool refused = ::access(path.c_str(), W_OK) != 0
            && (errno != ENOENT || ::access(ParentOf(path).c_str(), W_OK) != 0);
        if (refused)
            return "cannot write " + path + ": " + cause;
    }
    return "cannot write the printer settings: " + cause;
}

// One settings file as it was: its bytes and mode, or its absence.
struct FileState {
    std::string path;
    bool existed = false;
    bool folderExisted = true;
    mode_t mode = 0644;
    std::string bytes;

    static FileState Read(const std::string& path)
    {
        FileState state;
        state.path = path;
        struct stat folder {};
        state.folderExisted = ::stat(ParentOf(path).c_str(), &folder) == 0;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT && errno != ENOTDIR)
                throw PrintError("Cannot read " + path + ": " + std::strerror(errno));
            return state;
        }
        state.existed = true;
        struct stat info {};
        ::fstat(fd, &info);
        state.mode = info.st_mode & 07777;
        char buffer[8192];
        ssize_t got;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
            state.bytes.append(buffer, static_cast<size_t>(got));
        const int readError = got < 0 ? errno : 0;
        ::close(fd);
        if (readError)
            throw PrintError("Cannot read " + path + ": " + std::strerror(readError));
        return state;
    }

    bool SameAs(const FileState& other) const
    {
        return existed == other.existed && (!existed || (mode == other.mode && bytes == other.bytes));
    }

    void PutBack() const
    {
        if (!existed) {
            if (::unlink(path.c_str()) != 0 && errno != ENOENT)
                throw PrintError("Cannot restore " + path + ": " + std::strerror(errno));
            if (!folderExisted)
                ::rmdir(ParentOf(path).c_str()); // only when libcups made it and left it empty
            return;
        }
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        if (fd < 0)
            throw PrintError("Cannot restore " + path + ": " + std::strerror(errno));
        size_t done = 0;
        int writeError = 0;
        while (done < bytes.size()) {
            const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                writeError = errno;
                break;
            }
            done += static_cast<size_t>(put);
        }
        if (!writeError && ::fchmod(fd, mode) != 0)
            writeError = errno;
        if (::close(fd) != 0 && !writeError)
            writeError = errno;
        if (writeError)
            throw PrintError("Cannot restore " + path + ": " + std::strerror(writeError));
    }
};

// The user's lpoptions exactly as they were, put back byte for byte (or
// removed again when there were none); files left unchanged are not touched.
class LpoptionsSnapshot {
public:
    static LpoptionsSnapshot Take()
    {
        LpoptionsSnapshot snapshot;
        for (const std::string& path : LpoptionsPaths())
            snapshot.files_.push_back(FileState::Read(path));
        return snapshot;
    }

    void Restore() const
    {
        for (const FileState& before : files_) {
            if (!before.SameAs(FileState::Read(before.path)))
                before.PutBack();
        }
    }

private:
    std::vector<FileState> files_;
};

// One raw job on its own connection; cancelled when it is left unfinished.
// The document is opened with the first data, as the scheduler refuses an
// empty one: a label without data is a job closed without documents.
class RawJob {
public:
    explicit RawJob(const std::string& printer) : printer_(printer)
    {
        http_.reset(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 30000, nullptr));
        if (!http_)
            throw PrintError(std::string(kPrinterNotValid) + ": " + cupsLastErrorString());
        cups_option_t* options = nullptr;
        int count = cupsAddOption("job-sheets", "none,none", 0, &options);
        count = cupsAddOption("copies", "1", count, &options);
        jobId_ = cupsCreateJob(http_.get(), printer_.c_str(), "", count, options);
        cupsFreeOptions(count, options);
        if (jobId_ == 0)
            ThrowUnreachable();
        open_ = true;
    }

    ~RawJob()
    {
        if (open_)
            Cancel();
    }

    RawJob(const RawJob&) = delete;
    RawJob& operator=(const RawJob&) = delete;

    void Write(const std::string& bytes)
    {
        if (bytes.empty())
            return;
        if (!documentStarted_) {
            if (cupsStartDocument(http_.get(), printer_.c_str(), jobId_, "", CUPS_FORMAT_RAW, 1) != HTTP_STATUS_CONTINUE)
                throw PrintError(std::string(kPrinterNotValid) + ": " + cupsLastErrorString());
            documentStarted_ = true;
        }
        if (cupsWriteRequestData(http_.get(), bytes.data(), bytes.size()) != HTTP_STATUS_CONTINUE)
            throw PrintError(std::string("Cannot send the label: ") + cupsLastErrorString());
    }

    void Finish()
    {
        open_ = false;
        if (documentStarted_ ? cupsFinishDocument(http_.get(), printer_.c_str()) > IPP_STATUS_OK_EVENTS_COMPLETE
                             : !CloseWithoutDocument())
            throw PrintError(std::string("Cannot send the label: ") + cupsLastErrorString());
    }

private:
    bool CloseWithoutDocument()
    {
        char uri[HTTP_MAX_URI];
        httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                         "/printers/%s", printer_.c_str());
        ipp_t* request = ippNewRequest(IPP_OP_CLOSE_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId_);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        ippDelete(cupsDoRequest(http_.get(), request, "/jobs/"));
        return cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE;
    }

    void Cancel()
    {
        open_ = false;
        http_.reset(); // drops a half-sent document
        cupsCancelJob2(CUPS_HTTP_DEFAULT, printer_.c_str(), jobId_, 1);
    }

    std::string printer_;
    HttpPtr http_;
    int jobId_ = 0;
    bool open_ = false;
    bool documentStarted_ = false;
};

int CollectPrinter(void* userData, unsigned flags, cups_dest_t* dest)
{
    if (!(flags & CUPS_DEST_FLAGS_REMOVED) && dest->instance == nullptr)
        static_cast<std::vector<PrinterRecord>*>(userData)->push_back(RecordOf(*dest));
    return 1;
}

} // namespace

struct CupsPlatform::Impl {
    std::function<void(const std::string&)> clipboardWriter;
    // Queue names may hold commas, so the text before the first comma of a
    // device string is not always its queue: remember the queue of every
    // device string this platform made.
    std::map<std::string, std::string> queueOfDevice;
    std::string lastReadDefault = ",,,";
    std::string currentDefault;                  // what this platform last read or made default
    std::optional<LpoptionsSnapshot> beforeSwitch; // the user's setting before the first switch
    std::string deviceBeforeSwitch;
    std::unique_ptr<RawJob> job;

    std::string PrinterName()
    {
        if (currentDefault.empty())
            currentDefault = ReadDefault();
        return QueueOf(currentDefault);
    }

    std::string DeviceOf(const PrinterRecord& printer)
    {
        std::string device = MakeDeviceString(printer);
        queueOfDevice[device] = printer.name;
        return device;
    }

    std::string QueueOf(const std::string& device) const
    {
        const auto found = queueOfDevice.find(device);
        return found != queueOfDevice.end() ? found->second : PrinterNameOf(device);
    }

    std::string ReadDefault()
    {
        const DestPtr dest(cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr));
        if (!dest)
            return ",,,";
        return DeviceOf(RecordOf(*dest));
    }
};

CupsPlatform::CupsPlatform(std::function<void(const std::string&)> clipboardWriter)
    : d_(std::make_unique<Impl>())
{
    d_->clipboardWriter = std::move(clipboardWriter);
}

CupsPlatform::~CupsPlatform() = default;

std::vector<PrinterRecord> CupsPlatform::ListPrinters()
{
    std::vector<PrinterRecord> printers;
    // Only the server's own queues: discovered network printers are masked out.
    if (!cupsEnumDests(CUPS_DEST_FLAGS_NONE, 1000, nullptr, 0, CUPS_PRINTER_DISCOVERED, CollectPrinter, &printers))
        throw PrinterEnumerationError(cupsLastErrorString());
    if (printers.empty() && cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE)
        throw PrinterEnumerationError(cupsLastErrorString());
    for (const PrinterRecord& printer : printers)
        d_->DeviceOf(printer);
    return printers;
}

std::string CupsPlatform::ReadDefaultDevice()
{
    // A new read starts a new switch: what it returns is what a later write puts back.
    d_->beforeSwitch.reset();
    d_->lastReadDefault = d_->ReadDefault();
    d_->currentDefault = d_->lastReadDefault;
    return d_->lastReadDefault;
}

void CupsPlatform::WriteDefaultDevice(const std::string& device)
{
    if (d_->beforeSwitch && device == d_->deviceBeforeSwitch) {
        d_->beforeSwitch->Restore();
        d_->beforeSwitch.reset();
        d_->currentDefault = device;
        return;
    }
    if (!d_->beforeSwitch) {
        d_->beforeSwitch = LpoptionsSnapshot::Take();
        d_->deviceBeforeSwitch = d_->lastReadDefault;
    }
    DestList dests;
    dests.MakeDefault(d_->QueueOf(device));
    if (!dests.Save()) {
        const std::string reason = SaveFailure(errno);
        d_->beforeSwitch->Restore();
        d_->beforeSwitch.reset();
        throw PrintError("Cannot set the default printer: " + reason);
    }
    d_->currentDefault = device;
}

bool CupsPlatform::SupportsPassThrough()
{
    const std::string name = d_->PrinterName();
    if (name.empty())
        throw PrintError(kNoDefaultPrinter);
    const DestPtr dest(cupsGetNamedDest(CUPS_HTTP_DEFAULT, name.c_str(), nullptr));
    if (!dest)
        ThrowUnreachable();
    const DestInfoPtr info(cupsCopyDestInfo(CUPS_HTTP_DEFAULT, dest.get()));
    if (!info)
        throw PrintError(std::string(kPrinterNotValid) + ": " + cupsLastErrorString());
    return cupsCheckDestSupported(CUPS_HTTP_DEFAULT, dest.get(), info.get(), "document-format", CUPS_FORMAT_RAW) != 0;
}

void CupsPlatform::BeginJob()
{
    const std::string name = d_->PrinterName();
    if (name.empty())
        throw PrintError(kNoDefaultPrinter);
    d_->job.reset();
    d_->job = std::make_unique<RawJob>(name);
}

void CupsPlatform::SendRaw(const std::string& bytes)
{
    if (!d_->job)
        throw PrintError("No print job is open");
    try {
        d_->job->Write(bytes);
    } catch (...) {
        d_->job.reset(); // cancels the job at once, not with the next label
        throw;
    }
}

void CupsPlatform::EndPage()
{
    // A raw stream has no pages: the label's own commands feed the printer.
}

void CupsPlatform::EndJob()
{
    if (!d_->job)
        throw PrintError("No print job is open");
    const std::unique_ptr<RawJob> job = std::move(d_->job);
    job->Finish();
}

void CupsPlatform::SetClipboardText(const std::string& text)
{
    if (!d_->clipboardWriter)
        throw PrintError("Cannot open clipboard");
    d_->clipboardWriter(text);
}

} // namespace printing
