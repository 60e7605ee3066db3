// Time from PrintLabel being called until the last byte reaches the printer,
// beside "lp -o raw" of the same bytes to the same queue.
#include "CupsRig.h"
#include "RawPrinterListener.h"

#include "printing/CupsPlatform.h"
#include "printing/LabelPrinter.h"
#include "printing/LabelTemplate.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kLabels = 50;
constexpr int kWarmUp = 3;

const char* const kTemplate =
    "^XA\n^CI28\n^FO40,30^A0N,40,40^FDCorriere Speed^FS\n"
    "^FO40,90^BY3^BEN,120,Y,N^FD<CODICEEAN_SHORT>^FS\n"
    "^FO40,260^A0N,30,30^FDEAN <CODICEEAN>^FS\n^PQ1\n^XZ\n";

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double MillisecondsUntilDelivered(RawPrinterListener& listener, Clock::time_point start)
{
    const auto delivery = listener.WaitForDelivery(60s);
    if (!delivery)
        throw std::runtime_error("a label did not reach the printer");
    return std::chrono::duration<double, std::milli>(delivery->lastByteAt - start).count();
}

} // namespace

int main()
{
    if (!cupsrig::Available()) {
        std::fprintf(stderr, "print_bench: CUPS_SERVER is not set; start scripts/cups-test-rig.sh and source its env\n");
        return 2;
    }
    // Keep the user's own settings out of reach: libcups reads them from HOME.
    const fs::path work = fs::temp_directory_path() / ("print-bench-" + std::to_string(::getpid()));
    fs::create_directories(work / "home");
    fs::create_directories(work / "serverroot");
    ::setenv("HOME", (work / "home").c_str(), 1);
    ::setenv("CUPS_SERVERROOT", (work / "serverroot").c_str(), 1);
    int status = 0;
    try {
        RawPrinterListener labels;
        RawPrinterListener office;
        cupsrig::AddRawQueue("BenchEtichette", labels.DeviceUri());
        cupsrig::AddRawQueue("BenchUfficio", office.DeviceUri());
        // A different default, so that every label switches it and puts it back.
        cupsrig::Run({"lpoptions", "-d", "BenchUfficio"});
        const std::string device = "BenchEtichette,Local Raw Printer," + labels.DeviceUri();

        printing::LabelJob job;
        job.templatePath = (work / "ETICHETTA.TXT").string();
        job.selectedDevice = device;
        job.codiceEan = "8001234567890";
        cupsrig::WriteFile(job.templatePath, kTemplate);
        const std::string rawFile = (work / "label.raw").string();
        cupsrig::WriteFile(rawFile,
                           printing::FillPlaceholders(printing::ReadLabelTemplate(job.templatePath), job.codiceEan));

        printing::CupsPlatform platform(nullptr);
        const auto noWarning = [](const std::string& text) { throw std::runtime_error("warning: " + text); };
        std::vector<double> printLabel;
        std::vector<double> lp;
        for (int i = 0; i < kWarmUp + kLabels; ++i) {
            auto start = Clock::now();
            printing::PrintLabel(platform, job, noWarning);
            const double labelMs = MillisecondsUntilDelivered(labels, start);
            start = Clock::now();
            cupsrig::Run({"lp", "-d", "BenchEtichette", "-o", "raw", rawFile});
            const double lpMs = MillisecondsUntilDelivered(labels, start);
            if (i >= kWarmUp) {
                printLabel.push_back(labelMs);
                lp.push_back(lpMs);
            }
        }
        cupsrig::RemoveQueue("BenchEtichette");
        cupsrig::RemoveQueue("BenchUfficio");

        const double labelMedian = Median(printLabel);
        const double lpMedian = Median(lp);
        std::printf("labels: %d, %zu bytes each\n", kLabels, fs::file_size(rawFile));
        std::printf("PrintLabel median: %.2f ms (min %.2f, max %.2f)\n", labelMedian,
                    *std::min_element(printLabel.begin(), printLabel.end()),
                    *std::max_element(printLabel.begin(), printLabel.end()));
        std::printf("lp -o raw median: %.2f ms (min %.2f, max %.2f)\n", lpMedian, *std::min_element(lp.begin(), lp.end()),
                    *std::max_element(lp.begin(), lp.end()));
        std::printf("printlabel/lp ratio: %.2f\n", labelMedian / lpMedian);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "print_bench: %s\n", e.what());
        status = 1;
    }
    fs::remove_all(work);
    return status;
}
