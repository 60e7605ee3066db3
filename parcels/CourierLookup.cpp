#include "parcels/CourierLookup.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>

namespace parcels {

CourierLookup::CourierLookup(dataaccess::Connection& connection, dataaccess::Transaction& reads)
    : connection_(connection), query_(std::make_unique<dataaccess::SqlQuery>(connection, reads))
{
    query_->SetUniDirectional(true);
    query_->AddLine("SELECT CODICEEAN, CODICEEAN_ERRATO");
    query_->AddLine("FROM COLLI");
    // As wide as any code: a code longer than the column matches nothing
    // instead of failing the conversion.
    query_->AddLine("WHERE BARCODESPEED = CAST(:BARCODESPEED AS VARCHAR(32765))");
}

CourierLookup::~CourierLookup() = default;

void CourierLookup::Prepare() { query_->Prepare(); }

std::optional<Parcel> CourierLookup::Find(const std::string& barcodeSpeed)
{
    query_->SetParamText("BARCODESPEED", barcodeSpeed);
    const bool attached = connection_.Connected();
    try {
        query_->Open();
    } catch (const dataaccess::ConnectionLostError&) {
        if (!attached)
            throw;
        query_->Open();
    }
    std::optional<Parcel> parcel;
    if (query_->FetchedCount() > 0)
        parcel = Parcel{query_->FieldText("CODICEEAN"), query_->FieldText("CODICEEAN_ERRATO")};
    return parcel;
}

} // namespace parcels
