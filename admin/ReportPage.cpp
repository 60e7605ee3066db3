// The report as a page: HTML for a browser, the same text through Qt's rich
// text for the PDF.
#include "ReportChart.h"
#include "ShiftReport.h"

#include <QAbstractTextDocumentLayout>
#include <QFont>
#include <QLocale>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>
#include <QUrl>

#include <stdexcept>
#include <string_view>

namespace admin {
namespace {

// The chart's own units: about the width of an A4 page's text at 96 dpi.
const QSize kChartSize(680, 300);
const char* const kChartResource = "grafico:esiti";

const std::array<QString, kOutcomes> kOutcomeNames = {"EAN corretto", "EAN errato (ristampa)", "EAN sconosciuto",
                                                      "Codice corriere sconosciuto"};
// Column heads of the tables by hour and by station: short, so that a row fits one line.
const std::array<const char*, kOutcomes> kOutcomeHeads = {"Corretti", "Errati", "EAN scon.", "Corriere scon."};
// The PDF's text is narrower than the chart's units; rich text scales the image down.
constexpr int kPdfChartWidth = 600;

std::string Esc(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Esc(const QString& text)
{
    return Esc(text.toStdString());
}

class Page {
public:
    explicit Page(const ShiftReport& report) : report_(report), italian_(QLocale::Italian, QLocale::Italy) {}

    std::string Html(bool chartAsImage)
    {
        html_.clear();
        Head();
        Chart(chartAsImage);
        Totals();
        Hours();
        List("Codici corriere sconosciuti", "codici corriere diversi non trovati in COLLI", "Codice corriere",
             "Letture", report_.unknownCourierCodes, ShiftReport::kCodesShown, false);
        List("EAN sconosciuti", "EAN diversi letti che non sono né quello corretto né quello errato del collo",
             "EAN letto", "Letture", report_.unknownEans, ShiftReport::kCodesShown, false);
        List("Verifiche incomplete",
             "colli con un EAN sconosciuto che nel periodo non hanno mai avuto EanCorretto né EanErrato",
             "Codice corriere", "EAN sconosciuti letti", report_.unfinished, ShiftReport::kParcelsShown, true);
        List("Colli confermati più volte", "colli con EanCorretto o EanErrato più di una volta nel periodo",
             "Codice corriere", "Conferme", report_.confirmedTwice, ShiftReport::kParcelsShown, true);
        Stations();
        FromCopy();
        Arrival();
        html_ += "</body>\n</html>\n";
        return html_;
    }

    QString Number(std::int64_t n) const { return italian_.toString(static_cast<qlonglong>(n)); }
    QString Share(std::int64_t part, std::int64_t whole) const
    {
        if (whole == 0)
            return "-";
        return italian_.toString(100.0 * static_cast<double>(part) / static_cast<double>(whole), 'f', 1) + " %";
    }

    ReportChart MakeChart() const
    {
        std::vector<ReportChart::Bar> bars;
        if (!report_.hours.empty()) {
            // Every hour from the first to the last with rows: an idle hour shows as a gap.
            const bool oneDay = report_.hours.front().hour.date() == report_.hours.back().hour.date();
            auto next = report_.hours.begin();
            for (QDateTime hour = report_.hours.front().hour; hour <= report_.hours.back().hour;
                 hour = hour.addSecs(3600)) {
                ReportChart::Bar bar;
                bar.label = oneDay || hour.time().hour() != 0 ? hour.toString("HH") : hour.toString("dd/MM");
                if (next != report_.hours.end() && next->hour == hour) {
                    bar.counts = next->counts;
                    ++next;
                }
                bars.push_back(bar);
            }
        }
        return ReportChart(std::move(bars), kOutcomeNames);
    }

private:
    void Add(std::string_view text) { html_ += text; }

    QString Day(const QDate& date) const { return date.toString("dd/MM/yyyy"); }
    QString When(const QDateTime& time) const { return time.toString("dd/MM/yyyy HH:mm"); }

    void Head()
    {
        const QString period = report_.first == report_.last
                                   ? "del " + Day(report_.first)
                                   : "dal " + Day(report_.first) + " al " + Day(report_.last);
        Add("<!DOCTYPE html>\n<html lang=\"it\">\n<head>\n<meta charset=\"utf-8\">\n");
        Add("<title>Rapporto di turno " + Esc(period) + "</title>\n");
        Add("<style>\n"
            "@page { size: A4; margin: 14mm; }\n"
            "body { font-family: 'DejaVu Sans', Arial, sans-serif; font-size: 10pt; color: #212121;"
            " max-width: 182mm; margin: 0 auto; }\n"
            "h1 { font-size: 16pt; margin: 0 0 2pt 0; }\n"
            "h2 { font-size: 12pt; margin: 14pt 0 4pt 0; border-bottom: 1px solid #9e9e9e; }\n"
            "p { margin: 3pt 0; }\n"
            "table { border-collapse: collapse; margin: 4pt 0; }\n"
            "th, td { border: 1px solid #bdbdbd; padding: 2pt 6pt; text-align: left; }\n"
            "td.n, th.n { text-align: right; }\n"
            "th { background: #eeeeee; }\n"
            ".nota { color: #616161; font-size: 9pt; }\n"
            "section { break-inside: avoid; page-break-inside: avoid; }\n"
            "svg { width: 100%; height: auto; }\n"
            "</style>\n</head>\n<body>\n");
        Add("<h1>Rapporto di turno " + Esc(period) + "</h1>\n");
        Add("<p class=\"nota\">Registro LOGSPARATE di " + Esc(report_.database) + ", ore del server (DATAORA). "
            "Generato il " + Esc(When(report_.made)) + ".</p>\n");
    }

    void Chart(bool asImage)
    {
        Add("<section>\n<h2>Esiti per ora</h2>\n");
        if (report_.hours.empty()) {
            Add("<p>Nessuna riga nel periodo.</p>\n</section>\n");
            return;
        }
        if (asImage) {
            Add("<p><img src=\"" + std::string(kChartResource) + "\" width=\"" + std::to_string(kPdfChartWidth) +
                "\" height=\"" + std::to_string(kPdfChartWidth * kChartSize.height() / kChartSize.width()) +
                "\"></p>\n");
        } else {
            const QByteArray svg = MakeChart().Svg(kChartSize, "Esiti per ora");
            // Inline in the page: the XML prolog belongs to a file of its own.
            const qsizetype start = svg.indexOf("<svg");
            Add(svg.mid(start < 0 ? 0 : start).toStdString());
        }
        Add("</section>\n");
    }

    void Totals()
    {
        Add("<section>\n<h2>Totali</h2>\n");
        Add("<table border=\"1\" cellspacing=\"0\" cellpadding=\"4\">\n"
            "<tr><th>Esito</th><th>STATUS</th><th class=\"n\">Righe</th><th class=\"n\">Quota</th></tr>\n");
        for (int i = 0; i < kOutcomes; ++i) {
            const auto n = report_.totals[static_cast<std::size_t>(i)];
            Add("<tr><td>" + Esc(kOutcomeNames[static_cast<std::size_t>(i)]) + "</td><td>" +
                std::string(OutcomeWord(i)) + "</td><td class=\"n\" align=\"right\">" + Esc(Number(n)) +
                "</td><td class=\"n\" align=\"right\">" + Esc(Share(n, report_.rows)) + "</td></tr>\n");
        }
        if (report_.otherTotal > 0)
            Add("<tr><td>Altro</td><td>(altri valori)</td><td class=\"n\" align=\"right\">" +
                Esc(Number(report_.otherTotal)) + "</td><td class=\"n\" align=\"right\">" +
                Esc(Share(report_.otherTotal, report_.rows)) + "</td></tr>\n");
        Add("<tr><th>Totale</th><th></th><th class=\"n\" align=\"right\">" + Esc(Number(report_.rows)) +
            "</th><th></th></tr>\n</table>\n");
        const auto faulty = report_.totals[kEanErrato];
        const auto unknown = report_.totals[kCodiceEanSconosciuto] + report_.totals[kBarCodeSpeedSconosciuto];
        Add("<p>Etichette con l'EAN errato, ristampate: <b>" + Esc(Number(faulty)) + "</b> (" +
            Esc(Share(faulty, report_.rows)) + " delle righe).</p>\n");
        Add("<p>Codici sconosciuti (EAN e codici corriere): <b>" + Esc(Number(unknown)) + "</b> (" +
            Esc(Share(unknown, report_.rows)) + " delle righe).</p>\n</section>\n");
    }

    void Hours()
    {
        if (report_.hours.empty())
            return;
        Add("<section>\n<h2>Dettaglio per ora</h2>\n<table border=\"1\" cellspacing=\"0\" cellpadding=\"4\">\n<tr><th>Ora</th>");
        for (int i = 0; i < kOutcomes; ++i)
            Add("<th class=\"n\">" + std::string(kOutcomeHeads[static_cast<std::size_t>(i)]) + "</th>");
        Add("<th class=\"n\">Totale</th></tr>\n");
        const bool oneDay = report_.first == report_.last;
        for (const HourCounts& hour : report_.hours) {
            Add("<tr><td>" + Esc(hour.hour.toString(oneDay ? "HH:00" : "dd/MM/yyyy HH:00")) + "</td>");
            for (const auto n : hour.counts)
                Add("<td class=\"n\" align=\"right\">" + Esc(Number(n)) + "</td>");
            Add("<td class=\"n\" align=\"right\">" + Esc(Number(hour.total)) + "</td></tr>\n");
        }
        Add("</table>\n</section>\n");
    }

    void List(const char* title, const char* what, const char* codeHeader, const char* countHeader,
              const CodeList& list, int most, bool withLast)
    {
        Add(std::string("<section>\n<h2>") + title + "</h2>\n");
        if (list.total == 0) {
            Add("<p>Nessuno.</p>\n</section>\n");
            return;
        }
        Add("<p><b>" + Esc(Number(list.total)) + "</b> " + what + ".");
        if (list.total > static_cast<std::int64_t>(list.shown.size()))
            Add(" Qui i primi " + std::to_string(most) + ", i più frequenti per primi.");
        Add("</p>\n<table border=\"1\" cellspacing=\"0\" cellpadding=\"4\">\n<tr><th>" + std::string(codeHeader) +
            "</th><th class=\"n\">" + countHeader + "</th>" + (withLast ? "<th>Ultima riga</th>" : "") + "</tr>\n");
        for (const CodeCount& entry : list.shown) {
            Add("<tr><td>" + (entry.code.empty() ? std::string("(vuoto)") : Esc(entry.code)) +
                "</td><td class=\"n\" align=\"right\">" + Esc(Number(entry.count)) + "</td>");
            if (withLast)
                Add("<td>" + Esc(When(entry.last)) + "</td>");
            Add("</tr>\n");
        }
        Add("</table>\n</section>\n");
    }

    void Stations()
    {
        const OptionalFigures& optional = report_.optional;
        if (!optional.hasAccount && !optional.hasWorkstation)
            return;
        Add("<section>\n<h2>Per utente e postazione</h2>\n");
        if (optional.stations.empty()) {
            Add("<p>Nessuna riga nel periodo.</p>\n</section>\n");
            return;
        }
        Add("<table border=\"1\" cellspacing=\"0\" cellpadding=\"4\">\n<tr>");
        if (optional.hasAccount)
            Add("<th>Utente</th>");
        if (optional.hasWorkstation)
            Add("<th>Postazione</th>");
        for (int i = 0; i < kOutcomes; ++i)
            Add("<th class=\"n\">" + std::string(kOutcomeHeads[static_cast<std::size_t>(i)]) + "</th>");
        Add("<th class=\"n\">Totale</th></tr>\n");
        int shown = 0;
        for (const StationCounts& station : optional.stations) {
            if (++shown > ShiftReport::kStationsShown)
                break;
            Add("<tr>");
            for (const auto& [present, text] : {std::pair{optional.hasAccount, &station.account},
                                                std::pair{optional.hasWorkstation, &station.workstation}}) {
                if (present)
                    Add("<td>" + (text->empty() ? std::string("(non indicato)") : Esc(*text)) + "</td>");
            }
            for (const auto n : station.counts)
                Add("<td class=\"n\" align=\"right\">" + Esc(Number(n)) + "</td>");
            Add("<td class=\"n\" align=\"right\">" + Esc(Number(station.total)) + "</td></tr>\n");
        }
        Add("</table>\n");
        if (optional.stations.size() > static_cast<std::size_t>(ShiftReport::kStationsShown))
            Add("<p class=\"nota\">Qui le prime " + std::to_string(ShiftReport::kStationsShown) + " di " +
                std::to_string(optional.stations.size()) + " combinazioni, le più attive per prime.</p>\n");
        Add("</section>\n");
    }

    void FromCopy()
    {
        const auto& fromCopy = report_.optional.fromCopy;
        if (!fromCopy)
            return;
        std::int64_t all = 0;
        for (const auto n : *fromCopy)
            all += n;
        Add("<section>\n<h2>Esiti decisi dalla copia della stazione</h2>\n");
        Add("<p>Righe il cui esito la stazione ha deciso sulla propria copia dei colli, senza il server: <b>" +
            Esc(Number(all)) + "</b> (" + Esc(Share(all, report_.rows)) + " delle righe).</p>\n");
        if (all > 0) {
            Add("<table border=\"1\" cellspacing=\"0\" cellpadding=\"4\">\n<tr><th>Esito</th><th class=\"n\">Dalla copia</th></tr>\n");
            for (int i = 0; i < kOutcomes; ++i)
                Add("<tr><td>" + std::string(OutcomeWord(i)) + "</td><td class=\"n\" align=\"right\">" +
                    Esc(Number((*fromCopy)[static_cast<std::size_t>(i)])) + "</td></tr>\n");
            Add("</table>\n");
        }
        Add("</section>\n");
    }

    void Arrival()
    {
        const OptionalFigures& optional = report_.optional;
        if (!optional.lateRows && !optional.withoutTicket)
            return;
        Add("<section>\n<h2>Registrazione delle righe</h2>\n");
        if (optional.lateRows) {
            Add("<p>Righe arrivate al server più di " + std::to_string(ShiftReport::kLateSeconds / 60) +
                " minuti dopo la scansione (attese nel giornale della stazione): <b>" +
                Esc(Number(*optional.lateRows)) + "</b>");
            if (optional.latestSeconds)
                Add("; il ritardo più lungo: " + Esc(Number(*optional.latestSeconds / 60)) + " minuti");
            Add(".</p>\n");
        }
        if (optional.withoutTicket)
            Add("<p>Righe senza IDSCANSIONE (scritte da una stazione di versione precedente o a mano): <b>" +
                Esc(Number(*optional.withoutTicket)) + "</b>.</p>\n");
        Add("</section>\n");
    }

    const ShiftReport& report_;
    QLocale italian_;
    std::string html_;
};

} // namespace

std::string ReportHtml(const ShiftReport& report)
{
    return Page(report).Html(false);
}

void WriteReportPdf(const ShiftReport& report, const std::string& path)
{
    Page page(report);
    QTextDocument document;
    QFont font;
    font.setFamilies({"DejaVu Sans", "Arial"});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(9);
    document.setDefaultFont(font);
    // Rich text draws no inline SVG: the same chart, painted at print resolution.
    document.addResource(QTextDocument::ImageResource, QUrl(kChartResource), page.MakeChart().Image(kChartSize, 4));
    document.setHtml(QString::fromStdString(page.Html(true)));

    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write " + path + ": " + file.errorString().toStdString());
    {
        QPdfWriter writer(&file);
        writer.setTitle("Rapporto di turno");
        writer.setCreator("colli-admin");
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(14, 14, 14, 14),
                                         QPageLayout::Millimeter));
        writer.setResolution(300);
        document.print(&writer);
    }
    if (!file.commit())
        throw std::runtime_error("cannot write " + path + ": " + file.errorString().toStdString());
}

} // namespace admin
