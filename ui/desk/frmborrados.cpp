#include "ui/desk/frmborrados.h"

#include <map>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QTabWidget>
#include <QTreeWidget>

#include "store/engine.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/sql.h"

namespace orv::ui::desk {

namespace {

constexpr int kRunsShown = 300;     // changes listed, newest first
constexpr qint64 kRunGapMs = 2000;  // changes of one kind this close make one run

// By what a contact was deleted or changed, as a person says it.
QString byWhat(const std::string& origen) {
    const QString o = QString::fromStdString(origen);
    if (o == QLatin1String(history::kCard)) return QStringLiteral("la ficha");
    if (o == QString::fromUtf8(history::kSync)) return QStringLiteral("una sincronización");
    if (o == QString::fromUtf8(history::kImport)) return QStringLiteral("una importación");
    if (o == QString::fromUtf8(history::kRestore)) return QStringLiteral("una restauración");
    if (o == QLatin1String(history::kUndo)) return QStringLiteral("deshacer");
    return o;  // "otro programa"
}

QString kindText(const QString& tipo, qint64 n) {
    if (tipo == QLatin1String("alta"))
        return n == 1 ? QStringLiteral("alta") : QStringLiteral("altas");
    if (tipo == QLatin1String("baja"))
        return n == 1 ? QStringLiteral("baja") : QStringLiteral("bajas");
    return n == 1 ? QStringLiteral("cambio") : QStringLiteral("cambios");
}

QTreeWidget* makeList(QWidget* parent, const char* name, const QString& accessible,
                      const QStringList& headers) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(QString::fromLatin1(name));
    list->setAccessibleName(accessible);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setHeaderLabels(headers);
    list->header()->setStretchLastSection(true);
    list->setTabKeyNavigation(false);
    return list;
}

}  // namespace

frmborrados::frmborrados()
    : DeskForm(QStringLiteral("frmborrados"), QStringLiteral("Contactos borrados")) {
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("tabs"));
    deleted_ = makeList(tabs_, "lstBorrados", QStringLiteral("Contactos borrados"),
                        {QStringLiteral("Código"), QStringLiteral("Nombre"),
                         QStringLiteral("Borrado el"), QStringLiteral("Por")});
    changes_ = makeList(tabs_, "lstCambios", QStringLiteral("Cambios recientes"),
                        {QStringLiteral("Momento"), QStringLiteral("Por"), QStringLiteral("Cambio"),
                         QStringLiteral("Contactos")});
    tabs_->addTab(deleted_, QStringLiteral("Contactos &borrados"));
    tabs_->addTab(changes_, QStringLiteral("Cambios &recientes"));
    layout()->addWidget(tabs_, 1);

    status_ = addText(QStringLiteral("lblEstado"));
    status_->setAccessibleName(QStringLiteral("Estado"));
    layout()->addWidget(status_);
    progress_ = new ProgressPanel(this);
    layout()->addWidget(progress_);
    task_ = new Task(this);

    restaurar_ = addButton(QStringLiteral("cbRestaurar"), QStringLiteral("&Restaurar"),
                           [this] { restore(); });
    deshacer_ = addButton(QStringLiteral("cbDeshacer"), QStringLiteral("&Deshacer hasta aquí"),
                          [this] { undoTo(); });
    cerrar_ =
        addButton(QStringLiteral("cbCerrar"), QStringLiteral("&Cerrar"), [this] { Unload(); });
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(restaurar_);
    row->addWidget(deshacer_);
    row->addWidget(cerrar_);
    layout()->addLayout(row);
    setCancelButton(cerrar_);

    setTabIndex(tabs_, 0);
    setTabIndex(deleted_, 1);
    setTabIndex(changes_, 2);
    setTabIndex(restaurar_, 3);
    setTabIndex(deshacer_, 4);
    setTabIndex(cerrar_, 5);
    connect(tabs_, &QTabWidget::currentChanged, this, [this] { tabChanged(); });
    connect(task_, &Task::finished, this, [this] {
        progress_->stop();
        if (!task_->error().isEmpty()) MsgBox(task_->error());
        fill();
        tabs_->setEnabled(true);
        tabChanged();
    });
}

void frmborrados::Form_Load() {
    fill();
    tabChanged();
    finishLayout(fontMetrics().averageCharWidth() * 100);
    resize(width(), std::max(height(), fontMetrics().height() * 26));
}

void frmborrados::fill() {
    auto db = Database::open(BookPath().toStdString());
    sqlite3* h = db->handle();
    sql::ReadTransaction read(h);

    deleted_->clear();
    for (const history::Entry& e : history::deleted(h)) {
        auto* item =
            new QTreeWidgetItem(deleted_, {QString::number(e.codigo), contactName(e.before),
                                           momentText(e.momento), byWhat(e.origen)});
        item->setData(0, Qt::UserRole, QVariant::fromValue<qint64>(e.codigo));
    }
    if (deleted_->topLevelItemCount() > 0) deleted_->setCurrentItem(deleted_->topLevelItem(0));
    for (int c = 0; c < 3; ++c) deleted_->resizeColumnToContents(c);

    // The recent changes, those made together as one run.
    runs_.clear();
    // Newest first: what a contact was called after each change is what
    // the newer change found.
    std::map<std::int64_t, QString> known;
    for (const history::Entry& e : history::entries(h)) {
        if (e.tipo == history::kForgotten) continue;
        const QString origen = QString::fromStdString(e.origen);
        const QString tipo = QString::fromStdString(e.tipo);
        if (runs_.isEmpty() || runs_.last().origen != origen || runs_.last().tipo != tipo ||
            runs_.last().first - e.momento > kRunGapMs) {
            if (runs_.size() == kRunsShown) break;
            runs_.append(Run{e.momento, e.momento, origen, tipo, {}, 0});
        }
        Run& run = runs_.last();
        run.first = e.momento;
        ++run.count;
        if (run.names.size() < 3) {
            QString who;
            if (e.tipo != "alta") {
                who = contactName(e.before);
            } else if (auto at = known.find(e.codigo); at != known.end()) {
                who = at->second;
            } else if (auto now = history::current(h, e.codigo)) {
                who = contactName(*now);
            }
            run.names << QStringLiteral("%1 %2").arg(e.codigo).arg(who);
        }
        if (e.tipo != "alta") known[e.codigo] = contactName(e.before);
    }
    changes_->clear();
    for (const Run& run : runs_) {
        QString who = run.names.join(QStringLiteral(", "));
        if (run.count > run.names.size()) who += QStringLiteral(", …");
        new QTreeWidgetItem(
            changes_,
            {momentText(run.last), byWhat(run.origen.toStdString()),
             QStringLiteral("%1 %2").arg(run.count).arg(kindText(run.tipo, run.count)), who});
    }
    if (changes_->topLevelItemCount() > 0) changes_->setCurrentItem(changes_->topLevelItem(0));
    for (int c = 0; c < 3; ++c) changes_->resizeColumnToContents(c);
}

void frmborrados::tabChanged() {
    const bool onDeleted = tabs_->currentWidget() == deleted_;
    const bool busy = task_->running();
    restaurar_->setVisible(onDeleted);
    deshacer_->setVisible(!onDeleted);
    restaurar_->setEnabled(!busy && deleted_->currentItem());
    deshacer_->setEnabled(!busy && changes_->currentItem());
    setDefaultButton(onDeleted ? static_cast<QPushButton*>(restaurar_) : deshacer_);
    if (onDeleted && deleted_->topLevelItemCount() == 0)
        status_->setText(QStringLiteral("No hay contactos borrados en la historia de la agenda."));
    else if (!onDeleted && changes_->topLevelItemCount() == 0)
        status_->setText(QStringLiteral("La historia de la agenda está vacía."));
}

void frmborrados::restore() {
    QTreeWidgetItem* item = deleted_->currentItem();
    if (!item || task_->running()) return;
    const qint64 codigo = item->data(0, Qt::UserRole).toLongLong();
    auto db = Database::open(BookPath().toStdString());
    sqlite3* h = db->handle();
    sql::WriteTransaction tx(h);
    history::label(tx, history::kRestore);
    if (history::current(h, codigo)) {
        status_->setText(QStringLiteral("El contacto %1 ya no está borrado.").arg(codigo));
        fill();
        return;
    }
    std::optional<Contact> then;
    for (const history::Entry& e : history::entries(h, codigo))
        if (e.tipo == "baja") {
            then = e.before;
            break;
        }
    if (!then) return;
    history::putBack(h, *then);
    keys::refresh(h);
    tx.commit();
    status_->setText(
        QStringLiteral("Contacto %1 (%2) restaurado.").arg(codigo).arg(contactName(*then)));
    fill();
    tabChanged();
    deleted_->setFocus();
}

void frmborrados::undoTo() {
    QTreeWidgetItem* item = changes_->currentItem();
    if (!item || task_->running()) return;
    const Run run = runs_.value(changes_->indexOfTopLevelItem(item));
    const qint64 to = run.first - 1;
    const std::string book = BookPath().toStdString();
    history::UndoCounts n;
    {
        auto db = Database::open(book);
        sql::WriteTransaction tx(db->handle());
        n = history::undoTo(db->handle(), to, true);  // only counted: rolled back
    }
    if (n.removed + n.changed + n.back == 0) {
        status_->setText(QStringLiteral("La agenda ya está como estaba antes de ese cambio."));
        return;
    }
    const QString question =
        QStringLiteral(
            "La agenda volverá a como estaba antes del %1: se quitarán %2, se "
            "cambiarán %3 y volverán %4. Deshacer estos cambios?")
            .arg(momentText(run.first),
                 plural(n.removed, QStringLiteral("contacto"), QStringLiteral("contactos")),
                 plural(n.changed, QStringLiteral("contacto"), QStringLiteral("contactos")),
                 plural(n.back, QStringLiteral("contacto"), QStringLiteral("contactos")));
    if (MsgBox(question, vbYesNo) != vbYes) return;
    const qint64 started = history::nowMs();
    tabs_->setEnabled(false);
    restaurar_->setEnabled(false);
    deshacer_->setEnabled(false);
    task_->start([this, book, to, started](Task& t) {
        t.setStage(QStringLiteral("Deshaciendo"));
        auto db = Database::open(book);
        sql::WriteTransaction tx(db->handle());
        history::label(tx, history::kUndo);
        const history::UndoCounts done = history::undoTo(db->handle(), to, false);
        keys::refresh(db->handle());
        tx.commit();
        const QString text =
            QStringLiteral(
                "Agenda devuelta a como estaba antes del %1: %2 quitados, %3 cambiados, "
                "%4 devueltos. Para deshacerlo, deshaga el cambio del %5.")
                .arg(momentText(to + 1))
                .arg(done.removed)
                .arg(done.changed)
                .arg(done.back)
                .arg(momentText(started));
        QMetaObject::invokeMethod(
            this, [this, text] { status_->setText(text); }, Qt::QueuedConnection);
    });
    progress_->follow(task_, QStringLiteral("contactos"));
}

}  // namespace orv::ui::desk
