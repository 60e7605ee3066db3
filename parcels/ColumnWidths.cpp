#include "parcels/ColumnWidths.h"

#include <dataaccess/SqlQuery.h>

namespace parcels {

std::map<std::string, int> ReadColumnWidths(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                                            const std::string& table)
{
    std::string literal = "'";
    for (char c : table) {
        if (c == '\'')
            literal += '\'';
        literal += c;
    }
    literal += '\'';
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.SetUniDirectional(true);
    query.AddLine("SELECT TRIM(RF.RDB$FIELD_NAME) AS NAME,");
    query.AddLine("  COALESCE(F.RDB$CHARACTER_LENGTH, F.RDB$FIELD_LENGTH) AS WIDTH");
    query.AddLine("FROM RDB$RELATION_FIELDS RF");
    query.AddLine("JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME=RF.RDB$FIELD_SOURCE");
    query.AddLine("WHERE RF.RDB$RELATION_NAME=" + literal);
    query.Open();
    std::map<std::string, int> widths;
    for (; !query.AtEnd(); query.NextRow())
        widths[query.FieldText("NAME")] = static_cast<int>(query.FieldInteger("WIDTH"));
    return widths;
}

} // namespace parcels
