// The record card's record set: the whole table in code order. It never
// reads the table as a whole: the current row is just a code, and every
// move is a lookup by key.

#include "store/ascii.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/recordsets.h"
#include "store/schema.h"
#include "store/sql.h"

namespace orv::detail {

namespace {

class WholeTableRecordset final : public Recordset {
  public:
    explicit WholeTableRecordset(std::shared_ptr<Database> db) : db_(std::move(db)) {
        for (std::size_t i = 0; i < fieldNames().size(); ++i)
            if (ascii::iequals(fieldNames()[i], schema::kColumns[kCodigo])) codeField_ = i;
        moveToFirst();
    }

    const std::vector<std::string>& fieldNames() const override { return db_->columns(); }

    long RecordCount() override {
        sql::Statement s(db_->handle(), "SELECT EXISTS (SELECT 1 FROM Registros)");
        const bool any = s.step() && s.int64(0) != 0;
        return any ? 1 : 0;
    }
    bool hasCurrent() const override { return current_.has_value(); }
    Value value(int field) const override {
        if (field < 0 || static_cast<std::size_t>(field) >= fieldNames().size())
            throw EngineError(kErrFieldNotFound, "No se encuentra el campo pedido.");
        const auto f = static_cast<std::size_t>(field);
        if (mode_ != EditMode::None) return pending_[f];
        return current_ ? values_[f] : std::nullopt;
    }

    void MoveFirst() override {
        dropPending();
        moveToFirst();
        notify();
    }
    void Requery() override { MoveFirst(); }

    bool updatable() const override { return true; }
    EditMode editMode() const override { return mode_; }

    void AddNew() override {
        dropPending();
        pending_.assign(fieldNames().size(), std::nullopt);
        mode_ = EditMode::AddNew;
        notify();
    }

    void Edit() override {
        if (!current_) noCurrent();
        dropPending();
        auto row = readRow(*current_);
        if (!row) gone();
        values_ = *row;
        pending_ = std::move(*row);
        mode_ = EditMode::Edit;
        notify();
    }

    void Update(const std::vector<std::optional<Value>>& values, bool again) override {
        if (mode_ == EditMode::None) noPending();
        std::vector<std::size_t> fields;  // the columns to write
        for (std::size_t i = 0; i < values.size() && i < fieldNames().size(); ++i)
            if (values[i] && i != codeField_) fields.push_back(i);

        // Any failure leaves the pending row as it was: retry or cancel.
        db_->reopenIfReadOnly();
        sql::WriteTransaction t(db_->handle(), &kept_);
        history::label(t, history::kCard);
        bool reinsert = false;
        if (mode_ == EditMode::Edit) {
            auto now = readRow(*current_);
            if (!now && !again) deleted();
            reinsert = !now;
            if (now) checkUnchanged(*now, values, fields);
        }
        std::string sql;
        if (mode_ == EditMode::AddNew || reinsert) {
            // Deleted meanwhile and stored again: the row as the card showed
            // it, with the user's changes, under its own code.
            if (reinsert)
                for (std::size_t f = 0; f < fieldNames().size(); ++f)
                    if (f != codeField_ && !values[f]) fields.push_back(f);
            std::string names, marks;
            for (std::size_t f : fields) {
                names += (names.empty() ? "" : ", ") + schema::quoted(fieldNames()[f]);
                marks += marks.empty() ? "?" : ", ?";
            }
            if (reinsert) {
                names += ", " + schema::quoted(fieldNames()[codeField_]);
                marks += ", ?";
            }
            sql = names.empty() ? "INSERT INTO Registros DEFAULT VALUES"
                                : "INSERT INTO Registros (" + names + ") VALUES (" + marks + ")";
        } else if (!fields.empty()) {
            for (std::size_t f : fields)
                sql += (sql.empty() ? "" : ", ") + schema::quoted(fieldNames()[f]) + " = ?";
            sql = "UPDATE Registros SET " + sql + " WHERE Codigo = ?";
        }

        std::int64_t newCode = 0;
        if (!sql.empty()) {
            // The book's triggers make a write slow to prepare: the card writes
            // the same columns save after save, so the last statement is kept.
            if (!writeStmt_ || writeSql_ != sql || writeStmt_->connection() != db_->handle()) {
                writeStmt_.reset();
                writeStmt_ = std::make_unique<sql::Statement>(db_->handle(), sql);
                writeSql_ = sql;
            }
            sql::Statement& s = *writeStmt_;
            int p = 1;
            for (std::size_t f : fields) s.bind(p++, values[f] ? *values[f] : pending_[f]);
            if (mode_ == EditMode::Edit) s.bind(p, *current_);
            s.step();
            s.reset();
            newCode = sqlite3_last_insert_rowid(db_->handle());
            keys::refresh(db_->handle());
        }
        t.commit();
        // After a new row the row current before it is current again; with
        // none, the new row is shown rather than an empty card.
        if (mode_ == EditMode::AddNew && !current_) current_ = newCode;
        dropPending();
        reloadCurrent();
        notify();
    }

    void CancelUpdate() override {
        if (mode_ == EditMode::None) noPending();
        dropPending();
        reloadCurrent();
        notify();
    }

    void Delete() override {
        if (!current_) noCurrent();
        dropPending();
        db_->reopenIfReadOnly();
        {
            sql::WriteTransaction t(db_->handle(), &kept_);
            history::label(t, history::kCard);
            auto now = readRow(*current_);
            if (!now) gone();
            if (*now != values_) {
                // Changed since it was shown: it is shown again as it is now,
                // and nothing is deleted until the user has seen that.
                std::vector<DataChangedError::Field> changed;
                for (std::size_t f = 0; f < now->size(); ++f)
                    if ((*now)[f] != values_[f]) changed.push_back({fieldNames()[f], (*now)[f]});
                values_ = std::move(*now);
                notify();
                throw DataChangedError(std::move(changed));
            }
            sql::Statement s(db_->handle(), "DELETE FROM Registros WHERE Codigo = ?1");
            s.bind(1, *current_);
            s.step();
            keys::refresh(db_->handle());
            t.commit();
        }
        current_.reset();
        values_.clear();
        notify();
    }

    bool FindFirst(const std::string& criterion) override {
        return find(parseCriterion(criterion));
    }
    bool FindCode(std::int64_t code) override { return find(code); }

  private:
    [[noreturn]] static void noCurrent() {
        throw EngineError(kErrNoCurrentRecord, "No hay registro actual.");
    }
    [[noreturn]] static void noPending() {
        throw EngineError(kErrNoPendingChange, "No hay ningún cambio pendiente.");
    }
    [[noreturn]] static void deleted() {
        throw EngineError(kErrRecordDeleted,
                          "Este contacto ya no está en la agenda: se ha borrado en otra parte.");
    }
    // The current row is no longer in the table: the first row is shown.
    [[noreturn]] void gone() {
        dropPending();
        moveToFirst();
        notify();
        deleted();
    }

    // An edit stores a field over another writer's change only once the
    // caller has been told of it: the fields it writes must still hold what
    // Edit read, or already what it writes.
    void checkUnchanged(const std::vector<Value>& now,
                        const std::vector<std::optional<Value>>& values,
                        const std::vector<std::size_t>& fields) {
        std::vector<DataChangedError::Field> conflicts;
        for (std::size_t f : fields)
            if (now[f] != values_[f] && now[f] != *values[f])
                conflicts.push_back({fieldNames()[f], now[f]});
        if (conflicts.empty()) return;
        values_ = now;
        pending_ = now;
        throw DataChangedError(std::move(conflicts));
    }

    // No code, or none that matches: the first row becomes current.
    bool find(std::optional<std::int64_t> code) {
        dropPending();
        if (code) {
            if (auto row = readRow(*code)) {
                current_ = code;
                values_ = std::move(*row);
                notify();
                return true;
            }
        }
        moveToFirst();
        notify();
        return false;
    }

    // "Codigo = <whole number>": the number, or nullopt when the value is
    // not a whole number. Another criterion is not understood.
    static std::optional<std::int64_t> parseCriterion(const std::string& c) {
        std::size_t i = 0;
        auto blanks = [&] {
            while (i < c.size() && (c[i] == ' ' || c[i] == '\t')) ++i;
        };
        blanks();
        const std::string_view code = schema::kColumns[kCodigo];
        if (c.size() - i < code.size() ||
            !ascii::iequals(std::string_view(c).substr(i, code.size()), code))
            throw EngineError(kErrInvalidQuery, "Criterio no válido: '" + c + "'.");
        i += code.size();
        blanks();
        if (i == c.size() || c[i] != '=')
            throw EngineError(kErrInvalidQuery, "Criterio no válido: '" + c + "'.");
        ++i;
        blanks();
        std::size_t end = c.size();
        while (end > i && (c[end - 1] == ' ' || c[end - 1] == '\t')) --end;
        bool negative = false;
        if (i < end && (c[i] == '-' || c[i] == '+')) negative = c[i++] == '-';
        if (i == end) return std::nullopt;
        std::uint64_t n = 0;
        for (; i < end; ++i) {
            if (c[i] < '0' || c[i] > '9') return std::nullopt;
            n = n * 10 + static_cast<std::uint64_t>(c[i] - '0');
            if (n > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        }
        const auto v = static_cast<std::int64_t>(n);
        return negative ? -v : v;
    }

    std::optional<std::vector<Value>> readRow(std::int64_t code) {
        if (!rowStmt_ || rowStmt_->connection() != db_->handle())
            rowStmt_ = std::make_unique<sql::Statement>(
                db_->handle(), "SELECT * FROM Registros WHERE Codigo = ?1");
        rowStmt_->bind(1, code);
        std::optional<std::vector<Value>> row;
        try {
            if (rowStmt_->step()) {
                row.emplace(fieldNames().size());
                for (std::size_t c = 0; c < row->size(); ++c)
                    (*row)[c] = rowStmt_->value(static_cast<int>(c));
            }
        } catch (...) {
            rowStmt_->reset();
            throw;
        }
        rowStmt_->reset();
        return row;
    }

    void moveToFirst() {
        sql::ReadTransaction read(db_->handle());  // one lock for both reads
        sql::Statement s(db_->handle(), "SELECT Codigo FROM Registros ORDER BY Codigo LIMIT 1");
        current_.reset();
        values_.clear();
        if (s.step()) {
            const std::int64_t code = s.int64(0);
            s.reset();
            if (auto row = readRow(code)) {
                current_ = code;
                values_ = std::move(*row);
            }
        }
    }

    void reloadCurrent() {
        if (!current_) return;
        if (auto row = readRow(*current_)) {
            values_ = std::move(*row);
        } else {
            current_.reset();
            values_.clear();
        }
    }

    void dropPending() {
        mode_ = EditMode::None;
        pending_.clear();
    }

    std::shared_ptr<Database> db_;
    std::unique_ptr<sql::Statement> rowStmt_;
    std::unique_ptr<sql::Statement> writeStmt_;
    sql::KeptStatements kept_;  // the transaction's own, save after save
    std::string writeSql_;
    std::size_t codeField_ = static_cast<std::size_t>(-1);
    std::optional<std::int64_t> current_;
    std::vector<Value> values_;  // the current row as last read
    EditMode mode_ = EditMode::None;
    std::vector<Value> pending_;  // the row under AddNew or Edit
};

}  // namespace

std::unique_ptr<Recordset> openTableRecordset(std::shared_ptr<Database> db) {
    return std::make_unique<WholeTableRecordset>(std::move(db));
}

}  // namespace orv::detail
