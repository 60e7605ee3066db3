#pragma once

#include <stdexcept>
#include <string>

namespace printing {

// A label could not be printed; the message (UTF-8) is meant for the operator.
class PrintError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The printer enumeration itself failed: the printer list reports failure
// instead of raising it.
class PrinterEnumerationError : public PrintError {
public:
    using PrintError::PrintError;
};

} // namespace printing
