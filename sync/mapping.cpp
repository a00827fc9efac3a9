#include "sync/mapping.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "exchange/properties.h"
#include "exchange/vcard.h"
#include "sync/vcardmerge.h"

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

namespace {

// Our own card's lines as name -> value (it writes no parameters).
std::map<std::string, std::string> ownProperties(const std::string& card) {
    std::map<std::string, std::string> props;
    std::string text;
    for (std::size_t i = 0; i < card.size(); ++i) {
        if (card.compare(i, 3, "\r\n ") == 0) {
            i += 2;
            continue;
        }
        text += card[i];
    }
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = std::min(text.find("\r\n", pos), text.size());
        const std::string line = text.substr(pos, end - pos);
        if (std::size_t colon = line.find(':'); colon != std::string::npos)
            props.emplace(line.substr(0, colon), line.substr(colon + 1));
        pos = end + 2;
    }
    return props;
}

std::vector<std::string> linesOf(std::string_view text) {
    std::vector<std::string> lines;
    for (std::size_t pos = 0; pos <= text.size();) {
        std::size_t end = std::min(text.find('\n', pos), text.size());
        lines.emplace_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

}  // namespace

std::string cardFromContact(const Contact& c, const std::string& uid,
                            const std::vector<std::string>& kept) {
    if (kept.empty()) return cardFromContact(c, uid);
    const std::string card = exchange::keptCard(kept);
    const auto read = exchange::contactFromVcard(card);
    if (!read.contact) return cardFromContact(c, uid);
    const Contact& onCard = *read.contact;
    auto props = ownProperties(cardFromContact(c, uid));
    const auto value = [&](const std::string& name) -> std::optional<std::string> {
        auto it = props.find(name);
        return it == props.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    const auto differs = [&](std::initializer_list<std::size_t> cols) {
        return std::any_of(cols.begin(), cols.end(),
                           [&](std::size_t col) { return onCard[col] != c[col]; });
    };
    // Only what the book changed is written into the card; the rest stays
    // as it was read.
    std::vector<MappedProperty> mapped;
    const bool names = differs({kNombre, kApellido}), place = differs({kDomicilio, kLocalidad});
    if (names) mapped.push_back({"N", value("N")}), mapped.push_back({"FN", value("FN")});
    if (place) mapped.push_back({"ADR", value("ADR")});
    if (names || place) mapped.push_back({"X-ORVANE-NULL", value("X-ORVANE-NULL")});
    const std::pair<std::size_t, const char*> single[] = {
        {kTelefono, "TEL"}, {kEmail, "EMAIL"}, {kIcq, "X-ICQ"}, {kFecha, "BDAY"}};
    for (auto [col, name] : single)
        if (differs({col})) mapped.push_back({name, value(name)});
    if (!uid.empty()) mapped.push_back({"UID", value("UID")});
    if (differs({kMasInfo})) {
        // The note without the lines the card's other properties give again.
        std::optional<std::string> note;
        if (c[kMasInfo]) {
            std::vector<std::string> lines = linesOf(*c[kMasInfo]);
            for (const std::string& l : linesOf(read.extra))
                if (auto at = std::find(lines.begin(), lines.end(), l); at != lines.end())
                    lines.erase(at);
            if (!lines.empty()) {
                Contact only;
                only[kMasInfo] = std::string();
                for (std::size_t i = 0; i < lines.size(); ++i)
                    *only[kMasInfo] += (i ? "\n" : "") + lines[i];
                note = ownProperties(cardFromContact(only, "")).at("NOTE");
            }
        }
        mapped.push_back({"NOTE", note});
    }
    if (mapped.empty()) return card;  // nothing changed: the card as it came
    return mergeVCard(card, mapped);
}

void keepCard(sqlite3* db, std::int64_t codigo, std::string_view card) {
    exchange::Reading read;
    exchange::readVCards(card, read);
    if (read.contacts.empty()) return;
    exchange::keepProperties(db, codigo, read.contacts.front().kept);
}

}  // namespace orv::sync
