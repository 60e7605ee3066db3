#pragma once

#include <optional>
#include <string>
#include <vector>

namespace admin {

// One parcel of an import file, values already in Windows-1252 bytes.
// An empty CODICEEAN or CODICEEAN_ERRATO field stands for NULL.
struct ParcelRow {
    long lineNumber = 0;
    std::string barcodeSpeed;
    std::string codiceEan;
    std::optional<std::string> codiceEanErrato; // absent when the line has two fields
};

struct CsvProblem {
    long lineNumber = 0;
    std::string message; // UTF-8
};

struct ParsedCsv {
    std::vector<ParcelRow> rows;
    std::vector<CsvProblem> problems;
    bool utf8 = false; // the file was read as UTF-8 rather than Windows-1252
};

// Parses BARCODESPEED;CODICEEAN[;CODICEEAN_ERRATO] lines (';' or ',' as chosen by
// the first line, optional header, optional double quotes). The file is UTF-8 when
// it decodes as such, Windows-1252 otherwise.
ParsedCsv ParseParcelCsv(const std::string& bytes);

} // namespace admin
