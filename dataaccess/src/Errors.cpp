#include "dataaccess/Errors.h"

#include <utility>

namespace dataaccess {

DatabaseError::DatabaseError(const std::string& message, long gdsCode, long sqlCode,
                             std::string sqlState, AttachRefusal refusal)
    : std::runtime_error(message), gdsCode_(gdsCode), sqlCode_(sqlCode),
      sqlState_(std::move(sqlState)), refusal_(refusal)
{
}

} // namespace dataaccess
