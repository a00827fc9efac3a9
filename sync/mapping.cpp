#include "sync/mapping.h"

#include <stdexcept>

#include "tools/orvane-db/vcard.h"

namespace orv::sync {

Contact contactFromCard(std::string_view vcard) {
    Contact out;
    bool found = false;
    std::string problem;
    db::readVCards(vcard, {[&](db::Located&& l) {
                               if (!found) out = std::move(l.contact);
                               found = true;
                           },
                           [&](long, const std::string& why) {
                               if (problem.empty()) problem = why;
                           },
                           {}});
    if (!found) throw std::runtime_error(problem.empty() ? "tarjeta vacía" : problem);
    return out;
}

std::string cardFromContact(const Contact& c, const std::string& uid) {
    std::string card = db::vcardFromContact(c);
    // After BEGIN and VERSION.
    const std::string head = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    const std::size_t at = card.rfind(head, 0) == 0 ? head.size() : card.find("\r\n") + 2;
    card.insert(at, db::foldLine("UID:" + db::escapeText(uid)));
    return card;
}

}  // namespace orv::sync
