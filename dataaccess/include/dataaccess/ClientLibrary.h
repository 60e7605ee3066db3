#pragma once

#include "dataaccess/Errors.h"

namespace dataaccess {

// The Firebird client library could not be loaded (or lacks a call the layer
// makes): no database name can work, so callers stop trying names.
class ClientLibraryError : public DatabaseError {
public:
    using DatabaseError::DatabaseError;
};

} // namespace dataaccess
