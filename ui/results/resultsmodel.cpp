#include "ui/results/resultsmodel.h"

#include <QTimer>
#include <climits>

#include "store/datacontrol.h"
#include "ui/toolkit/services.h"

namespace orv::ui {

ResultsModel::ResultsModel(QObject* parent) : QAbstractTableModel(parent) {}

void ResultsModel::setRecordset(orv::QueryRecordset* rs) {
    beginResetModel();
    rs_ = rs;
    fields_.clear();
    names_.clear();
    rows_ = 0;
    fetchFailed_ = false;
    reported_ = false;
    if (rs_) {
        for (const std::string& name : rs_->fieldNames()) {
            names_.push_back(name);
            fields_.append(QString::fromStdString(name));
        }
        rows_ = int(std::min<std::size_t>(rs_->rowsFetched(), INT_MAX));
    }
    endResetModel();
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int ResultsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(fields_.size());
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !rs_ || !index.isValid() || index.row() >= rows_ ||
        index.column() >= int(names_.size()))
        return {};
    const std::string& field = names_[std::size_t(index.column())];
    try {
        QString text = QString::fromStdString(
            orv::fieldText(field, rs_->valueAt(std::size_t(index.row()), index.column())));
        // One line per row: a note's line breaks would be cut off by the row.
        for (QChar& c : text) {
            if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) c = QLatin1Char(' ');
        }
        return text;
    } catch (const orv::EngineError& e) {
        report(e);
        return {};
    }
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    // The rows' header is the record selector; it has no numbers.
    if (orientation == Qt::Vertical) return {};
    return fields_.value(section);
}

Qt::ItemFlags ResultsModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

bool ResultsModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && rs_ && !fetchFailed_ && rows_ < INT_MAX && rs_->canFetchMore();
}

void ResultsModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent)) return;
    try {
        rs_->fetchMore(kPage);
    } catch (const orv::EngineError& e) {
        fetchFailed_ = true;
        report(e);
    }
    takeFetched();
}

void ResultsModel::fetchAll() {
    if (!canFetchMore(QModelIndex())) return;
    try {
        rs_->fetchAll();
    } catch (const orv::EngineError& e) {
        fetchFailed_ = true;
        report(e);
    }
    takeFetched();
}

void ResultsModel::takeFetched() {
    const int fetched = int(std::min<std::size_t>(rs_->rowsFetched(), INT_MAX));
    if (fetched <= rows_) return;
    beginInsertRows(QModelIndex(), rows_, fetched - 1);
    rows_ = fetched;
    endInsertRows();
}

void ResultsModel::makeCurrent(int row) {
    if (!rs_ || row < 0 || row >= rows_ || std::size_t(row) == rs_->currentRow()) return;
    try {
        rs_->setCurrentRow(std::size_t(row));
    } catch (const orv::EngineError& e) {
        report(e);
    }
}

void ResultsModel::report(const orv::EngineError& error) const {
    if (reported_) return;
    reported_ = true;
    QTimer::singleShot(0, this, [error] { handleEngineError(error); });
}

}  // namespace orv::ui
