// orvane-db list: the contacts as the results window lists them.

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "store/collation.h"
#include "store/contactquery.h"
#include "store/datacontrol.h"
#include "store/engine.h"
#include "store/pattern.h"
#include "store/recordsets.h"
#include "store/schema.h"
#include "store/sql.h"
#include "tools/orvane-db/common.h"

namespace orv::db {

namespace {

// The listing's lines: a contact's fields tab-separated, each as
// appendListed writes it (nulls empty).
class Listing {
  public:
    Listing(const std::vector<std::string>& fields, std::FILE* out) : fields_(fields), out_(out) {}
    // `value(f)` gives field f.
    template <typename Get>
    void row(const Get& value) {
        line_.clear();
        for (std::size_t f = 0; f < fields_.size(); ++f) {
            if (f) line_ += '\t';
            if (const auto v = value(static_cast<int>(f)))
                appendListed(line_, fieldText(fields_[f], v));
        }
        line_ += '\n';
        if (std::fwrite(line_.data(), 1, line_.size(), out_) != line_.size()) fail();
    }
    void finish() {
        if (std::fflush(out_) != 0) fail();
    }

  private:
    [[noreturn]] static void fail() {
        const int e = errno;
        throw systemFailure("no se puede escribir el listado", e);
    }
    const std::vector<std::string>& fields_;
    std::FILE* out_;
    std::string line_;
};

// What the results window lists for `prefix`, one contact a line, fields
// tab-separated in table order (dates dd/mm/yyyy, nulls empty; see
// appendListed); the number written.
std::size_t listBook(const std::string& path, const std::string& prefix, std::FILE* out) {
    auto db = Database::open(path);
    // Enough cache for the B-trees' inner pages; leaf pages are read once.
    db->exec("PRAGMA cache_size = -512");
    // One read transaction for the whole listing: one lock instead of one
    // per row read, and every row from the same state of the book.
    sql::ReadTransaction snapshot(db->handle());
    const std::string text = *contactQuery(prefix, std::string(schema::kTable));
    const detail::ParsedQuery parsed = detail::parseQuery(text);
    if (parsed.orderByName && !parsed.wholeTable) {
        // The results window's order and rows, in one statement that reads
        // each row once, in the key index's order (the record set pages its
        // keys and reads the rows again, as a window must).
        std::string select = "SELECT r.* FROM " + db->freshKeys() +
                             ".OrvClaves k CROSS JOIN main.Registros r ON r.Codigo = k.Codigo";
        std::optional<collation::KeyRange> range;
        bool tryName = false;
        if (parsed.pattern) {
            const Pattern compiled(*parsed.pattern);  // an invalid pattern fails here
            range = collation::prefixRange(compiled.prefixWeights());
            tryName = !compiled.matchesAll();
            select += " WHERE k.Clave >= ?2";
            if (range->hi) select += " AND k.Clave < ?3";
            if (tryName) select += " AND r.Nombre LIKE ?1";
        }
        sql::Statement rows(db->handle(), select + " ORDER BY k.Clave, k.Codigo");
        if (tryName) rows.bind(1, *parsed.pattern);
        if (range) rows.bindBlob(2, range->lo);
        if (range && range->hi) rows.bindBlob(3, *range->hi);
        Listing listing(db->columns(), out);
        std::size_t n = 0;
        for (; rows.step(); ++n) listing.row([&](int f) { return rows.value(f); });
        listing.finish();
        return n;
    }
    auto q = db->openQuery(text);

    Listing listing(q->fieldNames(), out);
    // Each fetch is a seek of its own; large pages keep that cost small, and
    // only keys (8 bytes a row) are held.
    constexpr std::size_t kPage = 4096;
    std::size_t row = 0;
    for (;; ++row) {
        if (row >= q->rowsFetched() && (!q->canFetchMore() || q->fetchMore(kPage) == 0)) break;
        listing.row([&](int f) { return q->valueAt(row, f); });
    }
    listing.finish();
    return row;
}

}  // namespace

int listCommand(const Invocation& a, const Console&) {
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    listBook(a.positional[0], a.positional[1], stdout);
    return kDone;
}

}  // namespace orv::db
