#include "sync/mapping.h"

#include "exchange/properties.h"
#include "exchange/vcard.h"

namespace orv::sync {

void keepCard(sqlite3* db, std::int64_t codigo, std::string_view card) {
    exchange::Reading read;
    exchange::readVCards(card, read);
    if (read.contacts.empty()) return;
    exchange::keepProperties(db, codigo, read.contacts.front().kept);
}

}  // namespace orv::sync
