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

    out += foldLine("N:" + text(kApellido) + ";" + text(kNombre) + ";;;");
    std::string full = c[kNombre].value_or("");
    if (c[kApellido] && !c[kApellido]->empty()) full += (full.empty() ? "" : " ") + *c[kApellido];
    out += foldLine("FN:" + escapeText(full));
    for (std::size_t col : {kNombre, kApellido})
        if (!c[col]) nulls.push_back(schema::kColumns[col]);

    if (c[kDomicilio] || c[kLocalidad]) {
        const auto [town, region] = townAndRegion(c[kLocalidad].value_or(""));
        out += foldLine("ADR:;;" + text(kDomicilio) + ";" + escapeText(town) + ";" +
                        escapeText(region) + ";;");
        for (std::size_t col : {kDomicilio, kLocalidad})
            if (!c[col]) nulls.push_back(schema::kColumns[col]);
    }
    if (c[kTelefono]) out += foldLine("TEL:" + text(kTelefono));
    if (c[kEmail]) out += foldLine("EMAIL:" + text(kEmail));
    if (c[kIcq]) out += foldLine("X-ICQ:" + text(kIcq));
    // A stored text that is no date is written as text, so that no reader
    // takes it for one and ours gives it back as it was.
    if (c[kFecha])
        out += foldLine(
            (isoFromImported(*c[kFecha]) || c[kFecha]->empty() ? "BDAY:" : "BDAY;VALUE=text:") +
            text(kFecha));
    if (c[kMasInfo]) out += foldLine("NOTE:" + text(kMasInfo));
    if (!nulls.empty()) {
        std::string list;
        for (auto n : nulls) list += (list.empty() ? "" : ",") + std::string(n);
        out += foldLine("X-ORVANE-NULL:" + list);
    }
    out += "END:VCARD\r\n";
    return out;
}

}  // namespace orv::exchange
