#pragma once
// The header dictionary of CSV contact files: every column name that Google
// Contacts, Outlook (English and Spanish), Thunderbird and abook write, and
// where its values go.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/schema.h"

namespace orv::exchange::csvdict {

// Where a column's values go.
enum class Slot {
    Ignore,
    Given,
    Middle,
    Family,
    Full,
    Prefix,
    Suffix,
    Nickname,
    Company,
    Department,
    Title,
    Birthday,
    BirthYear,
    BirthMonth,
    BirthDay,
    Anniversary,
    Notes,
    Categories,
    Phone,
    Email,
    Web,
    Im,
    Icq,
    Other,
    Street,
    Street2,
    Street3,
    PoBox,
    Extended,
    Town,
    Region,
    Postcode,
    Country,
    Label,
    Service,
    Value  // the parts of a numbered group: "Phone 1 - Label"
};
// What a numbered group ("Phone 1 - ...") or a fixed one holds.
enum class Kind { None, Phone, Email, Web, Im, Address, Event, Relation, Custom };

struct Entry {
    std::string name;  // folded; "#" stands for a number
    Slot slot = Slot::Ignore;
    Kind kind = Kind::None;
    std::string label;  // Spanish; for fixed groups ("Home Phone")
    bool preferred = false;
    bool monthFirst = false;  // only Outlook in English writes this header
};

// Every entry, in the dictionary's order ("@ x" names made three).
const std::vector<Entry>& entries();
// The dictionary's lines whose slot word is none of ours: a misspelling
// that would otherwise send the column's values nowhere. Empty when sound.
const std::vector<std::string>& dictionaryProblems();
// Lower case, Spanish accents and "ñ" folded, surrounding blanks, quotes and
// abook's "#" dropped: "Teléfono" and "telefono", "#\"NAME\"" and "name" meet.
std::string folded(std::string_view s);
// Our own column for a folded header name, also as the card labels it.
std::optional<Col> ownColumn(std::string_view name);
// The first entry of each name.
const Entry* entryNamed(const std::string& name);
// The entry for a folded header name, numbered names matched by pattern
// ("phone 1 - value"), with the group it belongs to ("phone 1", "casa").
const Entry* lookUp(const std::string& name, std::string& group);

}  // namespace orv::exchange::csvdict
