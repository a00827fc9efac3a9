#include "store/datacontrol.h"

#include "store/dates.h"
#include "store/schema.h"

namespace orv {

std::string fieldText(const std::string& field, const Value& v) {
    if (!v) return {};
    if (field == schema::kColumns[kFecha]) return displayFromIso(*v);
    return *v;
}

Value textValue(const std::string& field, const std::string& text) {
    if (field != schema::kColumns[kFecha]) return text;
    if (text.find_first_of("0123456789") == std::string::npos) return std::nullopt;
    if (auto iso = isoFromDisplay(text)) return iso;
    // Storing it would put a text that is no date into the date column.
    throw EngineError(kErrConstraint, "La fecha '" + text + "' no es válida.");
}

DataControl::~DataControl() {
    if (rs_) rs_->setObserver(nullptr);
}

void DataControl::setSource(std::string databasePath, std::string recordSource) {
    if (databasePath != dbPath_) db_.reset();
    dbPath_ = std::move(databasePath);
    source_ = std::move(recordSource);
}

void DataControl::setRecordset(std::unique_ptr<Recordset> rs) {
    if (rs_) rs_->setObserver(nullptr);
    query_ = nullptr;
    rs_ = std::move(rs);
    if (rs_) rs_->setObserver(this);
}

void DataControl::setRecordset(std::unique_ptr<QueryRecordset> rs) {
    QueryRecordset* query = rs.get();
    setRecordset(std::unique_ptr<Recordset>(std::move(rs)));
    query_ = query;
}

void DataControl::Refresh() {
    if (!source_.empty()) {
        if (!db_) db_ = Database::open(dbPath_);
        setRecordset(db_->openRecordset(source_));
        currentChanged();
    } else if (rs_) {
        rs_->MoveFirst();  // notifies
    } else {
        currentChanged();
    }
}

void DataControl::bind(Binding b) {
    bindings_.push_back(std::move(b));
    shown_.emplace_back();
    currentChanged();
}

void DataControl::Update(bool again) {
    if (!rs_) throw EngineError(kErrNoPendingChange, "No hay ningún cambio pendiente.");
    std::vector<std::optional<Value>> values(rs_->fieldNames().size());
    for (std::size_t i = 0; i < bindings_.size(); ++i) {
        const Binding& b = bindings_[i];
        if (!b.text) continue;
        const int field = rs_->fieldIndex(b.field);
        if (field < 0)
            throw EngineError(kErrFieldNotFound, "No se encuentra el campo '" + b.field + "'.");
        const std::string text = b.text();
        // An untouched control keeps the stored value exactly.
        if (text != shown_[i]) values[static_cast<std::size_t>(field)] = textValue(b.field, text);
    }
    try {
        rs_->Update(values, again);
    } catch (const DataChangedError&) {
        // The record set now reads the row as it is: the untouched controls
        // follow it, the typed ones keep their texts.
        for (std::size_t i = 0; i < bindings_.size(); ++i) {
            const Binding& b = bindings_[i];
            const int field = rs_->fieldIndex(b.field);
            if (field < 0) continue;
            const std::string now = fieldText(b.field, rs_->value(field));
            if (!b.text || b.text() == shown_[i]) {
                if (b.show) b.show(now);
            }
            shown_[i] = now;
        }
        throw;
    }
}

void DataControl::currentChanged() {
    for (std::size_t i = 0; i < bindings_.size(); ++i) {
        const Binding& b = bindings_[i];
        std::string text;
        if (rs_) {
            const int field = rs_->fieldIndex(b.field);
            if (field >= 0) text = fieldText(b.field, rs_->value(field));
        }
        shown_[i] = text;
        if (b.show) b.show(text);
    }
}

}  // namespace orv
