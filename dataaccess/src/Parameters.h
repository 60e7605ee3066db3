#pragma once

#include "Descriptor.h"

#include <string>
#include <string_view>
#include <vector>

namespace dataaccess {

// The value set for one positional parameter, and the type the server
// described for it (the slot's own type is rewritten at every bind).
struct Parameter {
    short type = SQL_TEXT;
    std::string value;
    bool isNull = true;
    short indicator = -1;
    ISC_QUAD blob{};
};

// Learns the input slots of a prepared statement; values already set stay
// with their positions.
void DescribeParameters(isc_stmt_handle* statement, unsigned short dialect, Descriptor& inputs,
                        std::vector<Parameter>& parameters);

// Points every input slot at its value: text in the connection's character
// set, which the server converts to the slot's type; a blob is written first.
// Null when the statement takes no parameters.
XSQLDA* BindParameters(Descriptor& inputs, std::vector<Parameter>& parameters, isc_db_handle* database,
                       isc_tr_handle* transaction);

// Sets every parameter of that name (names matched without regard to case);
// false when none has it.
bool SetNamedParameter(const std::vector<std::string>& names, std::vector<Parameter>& parameters,
                       std::string_view name, const std::string* value);

} // namespace dataaccess
