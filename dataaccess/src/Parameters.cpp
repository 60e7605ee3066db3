#include "Parameters.h"

#include "dataaccess/Errors.h"

#include <algorithm>
#include <limits>

namespace dataaccess {

void DescribeParameters(isc_stmt_handle* statement, unsigned short dialect, Descriptor& inputs,
                        std::vector<Parameter>& parameters)
{
    Status status;
    inputs->sqld = 0;
    isc_dsql_describe_bind(&status, statement, dialect, inputs.get());
    Check(status);
    if (inputs.Count() > inputs.Capacity()) {
        inputs.Reserve(inputs.Count());
        isc_dsql_describe_bind(&status, statement, dialect, inputs.get());
        Check(status);
    }
    parameters.resize(static_cast<std::size_t>(inputs.Count()));
    for (int i = 0; i < inputs.Count(); ++i)
        parameters[static_cast<std::size_t>(i)].type = static_cast<short>(inputs[i].sqltype & ~1);
}

XSQLDA* BindParameters(Descriptor& inputs, std::vector<Parameter>& parameters, isc_db_handle* database,
                       isc_tr_handle* transaction)
{
    for (int i = 0; i < inputs.Count(); ++i) {
        XSQLVAR& slot = inputs[i];
        Parameter& parameter = parameters[static_cast<std::size_t>(i)];
        parameter.indicator = parameter.isNull ? -1 : 0;
        slot.sqlind = &parameter.indicator;
        slot.sqlscale = 0;
        if (parameter.type == SQL_BLOB && !parameter.isNull) {
            // A text value for a blob travels as a new blob.
            Status status;
            isc_blob_handle blob = 0;
            isc_create_blob2(&status, database, transaction, &blob, &parameter.blob, 0, nullptr);
            Check(status);
            std::size_t done = 0;
            while (done < parameter.value.size()) {
                const std::size_t chunk = std::min<std::size_t>(parameter.value.size() - done, 32768);
                isc_put_segment(&status, &blob, static_cast<unsigned short>(chunk), parameter.value.data() + done);
                if (status.Failed()) {
                    Status cancelStatus;
                    isc_cancel_blob(&cancelStatus, &blob);
                    RaiseStatus(status.vector);
                }
                done += chunk;
            }
            isc_close_blob(&status, &blob);
            Check(status);
            slot.sqltype = SQL_BLOB | 1;
            slot.sqllen = sizeof(ISC_QUAD);
            slot.sqldata = reinterpret_cast<char*>(&parameter.blob);
            continue;
        }
        if (parameter.value.size() > static_cast<std::size_t>(std::numeric_limits<short>::max()))
            throw DatabaseError("Parameter value is too long");
        slot.sqltype = SQL_TEXT | 1;
        slot.sqlsubtype = 0;
        slot.sqllen = static_cast<ISC_SHORT>(parameter.value.size());
        slot.sqldata = parameter.value.data();
    }
    return inputs.Count() > 0 ? inputs.get() : nullptr;
}

bool SetNamedParameter(const std::vector<std::string>& names, std::vector<Parameter>& parameters,
                       std::string_view name, const std::string* value)
{
    bool found = false;
    for (std::size_t i = 0; i < names.size() && i < parameters.size(); ++i) {
        if (!EqualsIgnoreCase(names[i], name))
            continue;
        parameters[i].isNull = value == nullptr;
        parameters[i].value = value ? *value : std::string();
        found = true;
    }
    return found;
}

} // namespace dataaccess
