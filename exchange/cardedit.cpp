#include "exchange/cardedit.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "exchange/properties.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "exchange/vcardmerge.h"
#include "store/ascii.h"

namespace orv::exchange {

Contact readCard(std::string_view vcard) {
    auto read = contactFromVcard(vcard);
    if (read.contact) return std::move(*read.contact);
    if (read.group) throw std::runtime_error("la tarjeta es un grupo, no un contacto");
    throw std::runtime_error(read.error.empty() ? "tarjeta vacía" : read.error);
}

namespace {

std::optional<std::string> valueOf(const std::map<std::string, std::string>& props,
                                   const std::string& name) {
    auto it = props.find(name);
    return it == props.end() ? std::nullopt : std::optional<std::string>(it->second);
}

// The NOTE for the book's "Mas info" without the lines that reading the card
// adds for what has no field (a second phone, a second address): those
// properties stay on the card and would otherwise come back twice.
std::optional<std::string> noteFor(const Value& info, const Value& extra) {
    if (!info) return std::nullopt;
    std::vector<std::string> lines = linesOf(*info);
    if (extra) {
        for (const std::string& line : linesOf(*extra))
            if (auto at = std::find(lines.begin(), lines.end(), line); at != lines.end())
                lines.erase(at);
        if (lines.empty()) return std::nullopt;
    }
    Contact only;
    only[kMasInfo] = std::string();
    for (std::size_t i = 0; i < lines.size(); ++i) *only[kMasInfo] += (i ? "\n" : "") + lines[i];
    return valueOf(cardProperties(vcardFromContact(only, "")), "NOTE");
}

// The mapped properties where `wanted` differs from what the card reads as
// (`onCard`), with their new values; `extra` gives the note's lines that the
// card's other properties give (asked only when the note changed).
std::vector<MappedProperty> changed(const Contact& onCard, const Contact& wanted,
                                    const std::string& uid, bool withUid,
                                    const std::function<Value()>& extra) {
    const auto props = cardProperties(vcardFromContact(wanted, uid));
    const auto value = [&](const std::string& name) { return valueOf(props, name); };
    const auto differs = [&](std::initializer_list<std::size_t> cols) {
        return std::any_of(cols.begin(), cols.end(),
                           [&](std::size_t col) { return onCard[col] != wanted[col]; });
    };
    std::vector<MappedProperty> mapped;
    const bool names = differs({kNombre, kApellido}), place = differs({kDomicilio, kLocalidad});
    if (names) mapped.push_back({"N", value("N")}), mapped.push_back({"FN", value("FN")});
    if (place) mapped.push_back({"ADR", value("ADR")});
    // Which of those fields are null rather than empty (our own property).
    if (names || place) mapped.push_back({"X-ORVANE-NULL", value("X-ORVANE-NULL")});
    const std::pair<std::size_t, const char*> single[] = {
        {kTelefono, "TEL"}, {kEmail, "EMAIL"}, {kIcq, "X-ICQ"}, {kFecha, "BDAY"}};
    for (auto [col, name] : single)
        if (differs({col})) mapped.push_back({name, value(name)});
    if (withUid) mapped.push_back({"UID", value("UID")});
    if (differs({kMasInfo})) mapped.push_back({"NOTE", noteFor(wanted[kMasInfo], extra())});
    return mapped;
}

}  // namespace

std::map<std::string, std::string> cardProperties(std::string_view card) {
    std::map<std::string, std::string> props;
    std::string text;
    for (std::size_t i = 0; i < card.size(); ++i) {
        if (card[i] == '\r' && i + 1 < card.size() && card[i + 1] == '\n') continue;
        if (card[i] == '\n' && i + 1 < card.size() && (card[i + 1] == ' ' || card[i + 1] == '\t')) {
            ++i;
            continue;
        }
        text += card[i];
    }
    for (const std::string& line : linesOf(text))
        if (std::size_t colon = line.find(':'); colon != std::string::npos)
            props.emplace(line.substr(0, colon), line.substr(colon + 1));
    return props;
}

bool isGroupCard(std::string_view card) {
    for (const auto& [name, value] : cardProperties(card)) {
        const std::string_view key = std::string_view(name).substr(0, name.find(';'));
        if ((ascii::iequals(key, "KIND") || ascii::iequals(key, "X-ADDRESSBOOKSERVER-KIND")) &&
            ascii::iequals(value, "group"))
            return true;
    }
    return false;
}

std::string cardName(std::string_view card) {
    for (const auto& [name, value] : cardProperties(card))
        if (name.substr(0, name.find(';')) == "FN" && !value.empty()) return value;
    return "(sin nombre)";
}

std::string cardUid(std::string_view card) {
    return valueOf(cardProperties(card), "UID").value_or("");
}

std::string cardWith(const std::string& card, const Contact& onCard, const Contact& wanted,
                     const std::string& uid) {
    return mergeVCard(card, changed(onCard, wanted, uid, false, [&] {
                          return readCard(mergeVCard(card, {{"NOTE", std::nullopt}}))[kMasInfo];
                      }));
}

std::string cardFromKept(const Contact& c, const std::string& uid,
                         const std::vector<std::string>& kept) {
    if (kept.empty()) return vcardFromContact(c, uid);
    const std::string card = keptCard(kept);
    const auto read = contactFromVcard(card);
    if (!read.contact) return vcardFromContact(c, uid);
    // Only what the book changed is written into the card; the rest stays
    // as it was read.
    const std::vector<MappedProperty> mapped =
        changed(*read.contact, c, uid, !uid.empty(), [&] { return Value(read.extra); });
    if (mapped.empty()) return card;  // nothing changed: the card as it came
    return mergeVCard(card, mapped);
}

}  // namespace orv::exchange
