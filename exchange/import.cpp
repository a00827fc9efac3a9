#include "exchange/import.h"

#include <filesystem>
#include <unordered_map>

#include "exchange/csv.h"
#include "exchange/directory.h"
#include "exchange/text.h"
#include "exchange/vcard.h"
#include "store/ascii.h"
#include "store/collation.h"
#include "store/schema.h"
#include "store/sql.h"

namespace orv::exchange {

std::optional<Format> formatFromName(std::string_view name) {
    if (ascii::iequals(name, "csv")) return Format::Csv;
    if (ascii::iequals(name, "vcard") || ascii::iequals(name, "vcf")) return Format::VCard;
    if (ascii::iequals(name, "ldif") || ascii::iequals(name, "ldi")) return Format::Ldif;
    if (ascii::iequals(name, "abook")) return Format::Abook;
    return std::nullopt;
}

std::optional<Format> formatFromPath(const std::string& path) {
    const std::filesystem::path p(path);
    if (ascii::iequals(p.filename().string(), "addressbook")) return Format::Abook;
    std::string ext = p.extension().string();
    if (ext.empty()) return std::nullopt;
    return formatFromName(std::string_view(ext).substr(1));
}

std::optional<Format> formatFromText(std::string_view bytes) {
    auto text = decodeText(bytes.substr(0, 4096));
    if (!text) return std::nullopt;
    std::string_view t = trimmed(*text);
    while (!t.empty() && (t.front() == '\n' || t.front() == '\r')) t = trimmed(t.substr(1));
    const std::string_view first = t.substr(0, t.find_first_of("\r\n"));
    if (ascii::iequals(trimmed(first), "BEGIN:VCARD")) return Format::VCard;
    if (first.substr(0, 3) == "dn:" || ascii::iequals(first, "version: 1")) return Format::Ldif;
    if (first.find("abook addressbook file") != std::string_view::npos || first == "[format]")
        return Format::Abook;
    return std::nullopt;
}

Reading readContacts(std::string_view bytes, Format format, const ProgressFn& progress) {
    Reading r;
    // vCard and LDIF say their own character sets; only UTF-16 needs undoing.
    std::optional<std::string> text;
    if (format == Format::Csv || format == Format::Abook || bytes.substr(0, 2) == "\xFF\xFE" ||
        bytes.substr(0, 2) == "\xFE\xFF")
        text = decodeText(bytes);
    else
        text = std::string(bytes);
    if (!text) {
        r.problems.push_back({1, "texto UTF-16 cortado o mal formado"});
        return r;
    }
    using Reader = void (*)(std::string_view, Reading&, const ProgressFn&);
    static constexpr Reader kReaders[] = {readCsvContacts, readVCards, readLdif, readAbook};
    kReaders[static_cast<std::size_t>(format)](*text, r, progress);
    return r;
}

std::string lookalikeKey(const Contact& c) {
    std::string key;
    for (std::size_t col : {kNombre, kApellido}) {
        if (c[col])
            for (char32_t ch : collation::decode(*c[col])) {
                // Blanks count as one, so "José  Luis" looks like "José Luis".
                const std::uint32_t w = collation::primary(ch);
                if (ch == ' ' && !key.empty() && key.back() == ' ') continue;
                if (ch == ' ')
                    key += ' ';
                else
                    key.append(reinterpret_cast<const char*>(&w), sizeof w);
            }
        key += '\x01';
    }
    return key;
}

ImportResult importContacts(sqlite3* db, const std::vector<Located>& contacts,
                            const ImportOptions& options) {
    ImportResult result;
    std::optional<sql::WriteTransaction> tx;
    std::optional<sql::ReadTransaction> snapshot;
    if (options.dryRun)
        snapshot.emplace(db);
    else
        tx.emplace(db);

    // Candidates are the rows with the very same name: one seek of the name
    // index each, never a read of the whole book.
    // Only rows that were there before: two equal contacts of one file are
    // two contacts (a book with two equal rows restores as it was).
    std::int64_t before = 0;
    {
        sql::Statement last(db, "SELECT max(" + schema::quoted(schema::kCode) + ") FROM " +
                                    std::string(schema::kTable));
        if (last.step()) before = last.int64(0);
    }
    sql::Statement same(db, "SELECT " + schema::columnList() + " FROM " +
                                std::string(schema::kTable) + " WHERE " +
                                schema::quoted(schema::kColumns[kNombre]) + " IS ?1 AND " +
                                schema::quoted(schema::kCode) + " <= ?2");
    same.bind(2, before);
    std::optional<ContactInserter> ins;
    if (tx) ins.emplace(db);
    // What this import adds, for lookalikes within the file.
    std::unordered_map<std::string, std::size_t> added;

    for (const Located& item : contacts) {
        const Contact& c = item.contact;
        const std::string key = lookalikeKey(c);
        same.bind(1, c[kNombre]);
        std::int64_t equal = 0, alike = 0;
        while (same.step()) {
            Contact row;
            for (std::size_t col = 0; col < kColumnCount; ++col)
                row[col] = same.value(static_cast<int>(col));
            bool all = true;
            for (std::size_t col = kNombre; col < kColumnCount && all; ++col)
                all = row[col] == c[col];
            const std::int64_t code = same.int64(0);
            if (all) {
                equal = code;
                break;
            }
            if (!alike && lookalikeKey(row) == key) alike = code;
        }
        same.reset();
        if (equal && !options.keepDuplicates) {
            result.duplicates.push_back({&item, equal});
            continue;
        }
        if (equal) result.duplicates.push_back({&item, equal});
        auto seen = added.find(key);
        if (!equal && alike)
            result.lookalikes.push_back({&item, alike});
        else if (!equal && seen != added.end())
            result.lookalikes.push_back({&item, 0});
        if (ins) ins->insert(c);
        added.emplace(key, result.imported);
        ++result.imported;
    }
    if (tx) tx->commit();
    return result;
}

}  // namespace orv::exchange
