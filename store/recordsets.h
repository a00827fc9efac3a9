#pragma once
// What the store's sources share to open record sets: the query dialect's
// parser and the two kinds of record set.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "store/engine.h"

namespace orv::detail {

// What a query text of the engine's dialect asks for.
struct ParsedQuery {
    bool wholeTable = false;             // "Registros"
    std::optional<std::string> pattern;  // WHERE Nombre like '...'
    bool orderByName = false;
};
// Throws kErrInvalidQuery for a text outside the dialect.
ParsedQuery parseQuery(std::string_view query);

std::unique_ptr<QueryRecordset> openQueryRecordset(std::shared_ptr<Database> db,
                                                   const ParsedQuery& q);
std::unique_ptr<Recordset> openTableRecordset(std::shared_ptr<Database> db);

}  // namespace orv::detail
