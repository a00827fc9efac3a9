#include "ui/results/resultsgrid.h"

#include <QPainter>
#include <QPolygonF>
#include <QProxyStyle>
#include <QScrollBar>
#include <algorithm>

#include "ui/results/resultsmodel.h"
#include "ui/toolkit/twips.h"

namespace orv::ui {

namespace {

// Dark grey lines between rows and columns.
class GridStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_Table_GridLineColor) return int(QColor(Qt::darkGray).rgba());
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

constexpr int kSelectorTwips = 240;

// A typical value of each field: its column is as wide as this text in the
// grid's font (or as its header, when that is wider).
QString typicalText(const QString& field) {
    static const struct {
        const char* field;
        const char* text;
    } kTypical[] = {{"Codigo", "000000"},
                    {"Nombre", "María del Carmen"},
                    {"Apellido", "Fernández de Córdoba"},
                    {"Domicilio", "Avda. de la Constitución 125, 3º B"},
                    {"Localidad/Provincia", "Sanlúcar de Barrameda (Cádiz)"},
                    {"Telefono", "950 520 716 / 600 111 222"},
                    {"e-mail", "maria.fernandez@correo.example.es"},
                    {"ICQ", "123456789"},
                    {"Mas info", "Prima de Juan; llamar por las tardes"},
                    {"Fecha de nacimiento", "00/00/0000"}};
    for (const auto& t : kTypical) {
        if (field == QLatin1String(t.field)) return QString::fromUtf8(t.text);
    }
    return QStringLiteral("María del Carmen");
}

}  // namespace

// ---- Record selector -----------------------------------------------------

RecordSelector::RecordSelector(QWidget* parent) : QHeaderView(Qt::Vertical, parent) {
    setSectionsClickable(true);
    setHighlightSections(false);
}

QSize RecordSelector::sizeHint() const {
    return QSize(scaledPx(kSelectorTwips), defaultSectionSize());
}

void RecordSelector::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    // The style leaves the painter clipped to nothing: paint on a saved state.
    painter->save();
    QHeaderView::paintSection(painter, rect, logicalIndex);
    painter->restore();
    const auto* view = qobject_cast<const QAbstractItemView*>(parentWidget());
    if (!view || view->currentIndex().row() != logicalIndex) return;
    const qreal h = std::min<qreal>(rect.height() - 6, 9), w = h / 2 + 1;
    const QPointF c = QRectF(rect).center();
    const QPolygonF triangle{QPointF(c.x() - w / 2, c.y() - h / 2),
                             QPointF(c.x() - w / 2, c.y() + h / 2), QPointF(c.x() + w / 2, c.y())};
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(palette().color(QPalette::ButtonText));
    painter->drawPolygon(triangle);
    painter->restore();
}

// ---- Grid ----------------------------------------------------------------

ResultsGrid::ResultsGrid(QWidget* parent) : QTableView(parent) {
    auto* style = new GridStyle;
    style->setParent(this);
    setStyle(style);

    setVerticalHeader(new RecordSelector(this));
    setEditTriggers(NoEditTriggers);
    setSelectionBehavior(SelectRows);
    setSelectionMode(SingleSelection);
    // Tab leaves the grid; the arrow keys move between cells.
    setTabKeyNavigation(false);
    setCornerButtonEnabled(false);
    setWordWrap(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(false);
    QHeaderView* rows = verticalHeader();
    rows->setMinimumSectionSize(1);
    rows->setDefaultSectionSize(fontMetrics().height() + 4);
    rows->setSectionResizeMode(QHeaderView::Fixed);

    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid()) emit rowDoubleClicked();
    });
    // The record selector chooses its row too.
    connect(rows, &QHeaderView::sectionDoubleClicked, this, [this](int row) {
        if (!model_ || row < 0 || row >= model_->rowCount()) return;
        setCurrentIndex(model_->index(row, std::max(0, currentIndex().column())));
        emit rowDoubleClicked();
    });
    // The bar dragged to its bottom, or sent there by its menu, reaches the
    // real last row, not just the end of the rows read so far. The wheel and
    // the arrows read page by page as the view asks.
    QScrollBar* bar = verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) {
        if (bar->isSliderDown() && value == bar->maximum()) scrollToLastRow();
    });
    connect(bar, &QScrollBar::actionTriggered, this, [this](int action) {
        if (action == QAbstractSlider::SliderToMaximum)
            QMetaObject::invokeMethod(this, &ResultsGrid::scrollToLastRow, Qt::QueuedConnection);
    });
}

void ResultsGrid::setResultsModel(ResultsModel* model) {
    model_ = model;
    setModel(model);
    // After the header's own handling of a reset, which restores default widths.
    connect(model, &QAbstractItemModel::modelReset, this, &ResultsGrid::sizeColumns);
    sizeColumns();
}

void ResultsGrid::showFirstRow() {
    if (!model_ || model_->rowCount() == 0) return;
    setCurrentIndex(model_->index(0, 0));
    scrollToTop();
}

void ResultsGrid::sizeColumns() {
    if (!model_) return;
    const QFontMetrics header(horizontalHeader()->font());
    const QFontMetrics cells(font());
    for (int column = 0; column < model_->columnCount(); ++column) {
        const QString field = model_->fieldName(column);
        const int width = std::max(header.horizontalAdvance(field) + 16,
                                   cells.horizontalAdvance(typicalText(field)) + 12);
        setColumnWidth(column, width);
    }
}

QModelIndex ResultsGrid::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) {
    if (model_ && cursorAction == MoveEnd && (modifiers & Qt::ControlModifier) &&
        model_->canFetchMore(QModelIndex())) {
        model_->fetchAll();
        // The scroll range must know the new rows before the view scrolls to the last.
        executeDelayedItemsLayout();
    }
    return QTableView::moveCursor(cursorAction, modifiers);
}

QItemSelectionModel::SelectionFlags ResultsGrid::selectionCommand(const QModelIndex& index,
                                                                  const QEvent*) const {
    // The current row is always the one selected row (no Ctrl+click to clear it).
    if (!index.isValid()) return QItemSelectionModel::NoUpdate;
    return QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows;
}

void ResultsGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    if (current.row() == previous.row()) return;
    if (model_ && current.isValid()) model_->makeCurrent(current.row());
    verticalHeader()->viewport()->update();
}

void ResultsGrid::scrollToLastRow() {
    if (jumping_ || !model_ || !model_->canFetchMore(QModelIndex())) return;
    jumping_ = true;
    model_->fetchAll();
    executeDelayedItemsLayout();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    jumping_ = false;
}

}  // namespace orv::ui
