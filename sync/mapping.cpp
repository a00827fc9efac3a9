#include "sync/mapping.h"

#include <stdexcept>

#include "exchange/vcard.h"

namespace orv::sync {

Contact contactFromCard(std::string_view vcard) {
    auto read = exchange::contactFromVcard(vcard);
    if (read.contact) return std::move(*read.contact);
    if (read.group) throw std::runtime_error("la tarjeta es un grupo, no un contacto");
    throw std::runtime_error(read.error.empty() ? "tarjeta vacía" : read.error);
}

std::string cardFromContact(const Contact& c, const std::string& uid) {
    return exchange::vcardFromContact(c, uid);
}

}  // namespace orv::sync
