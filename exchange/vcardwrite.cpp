// Our own cards: one vCard 3.0 a contact, each column where it reads back
// (vcard.h).

#include "exchange/address.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "store/schema.h"

namespace orv::exchange {

std::string vcardFromContact(const Contact& c, std::string_view uid) {
    auto text = [&](std::size_t col) { return c[col] ? escapeText(*c[col]) : std::string(); };
    std::string out = "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:" + std::string(kProdId) + "\r\n";
    if (!uid.empty()) out += foldLine("UID:" + escapeText(uid));
    std::vector<std::string_view> nulls;

    for (const CardField& f : kCardFields) {
        const std::string_view p = f.property;
        if (p == "N") {
            out += foldLine("N:" + text(kApellido) + ";" + text(kNombre) + ";;;");
        } else if (p == "FN") {
            std::string full = c[kNombre].value_or("");
            if (c[kApellido] && !c[kApellido]->empty())
                full += (full.empty() ? "" : " ") + *c[kApellido];
            out += foldLine("FN:" + escapeText(full));
        } else if (p == "ADR") {
            if (!c[kDomicilio] && !c[kLocalidad]) continue;
            const auto [town, region] = townAndRegion(c[kLocalidad].value_or(""));
            out += foldLine("ADR:;;" + text(kDomicilio) + ";" + escapeText(town) + ";" +
                            escapeText(region) + ";;");
        } else if (p == "BDAY") {
            // A stored text that is no date is written as text, so that no
            // reader takes it for one and ours gives it back as it was.
            if (c[kFecha])
                out += foldLine((isoFromImported(*c[kFecha]) || c[kFecha]->empty()
                                     ? "BDAY:"
                                     : "BDAY;VALUE=text:") +
                                text(kFecha));
            continue;
        } else if (c[f.first]) {
            out += foldLine(std::string(p) + ":" + text(f.first));
        }
        // The nulls of a property's two columns, once it is written.
        if (f.first != f.last && p != "N")
            for (std::size_t col = f.first; col <= f.last; ++col)
                if (!c[col]) nulls.push_back(schema::kColumns[col]);
    }
    if (!nulls.empty()) {
        std::string list;
        for (auto n : nulls) {
            if (!list.empty()) list += ',';
            list += n;
        }
        out += foldLine("X-ORVANE-NULL:" + list);
    }
    out += "END:VCARD\r\n";
    return out;
}

}  // namespace orv::exchange
