#include "ui/desk/frmcopia.h"

#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QStandardPaths>

#include "store/backup.h"
#include "store/engine.h"
#include "store/sql.h"

namespace orv::ui::desk {

frmcopia::frmcopia() : DeskForm(QStringLiteral("frmcopia"), QStringLiteral("Copia de la agenda")) {
    origen_ = addText(QStringLiteral("lblAgenda"));
    origen_->setAccessibleName(QStringLiteral("Agenda"));
    destino_ = new QLineEdit(this);
    destino_->setObjectName(QStringLiteral("txtDestino"));
    destino_->setAccessibleName(QStringLiteral("Copiar en"));
    auto* label = new QLabel(QStringLiteral("Co&piar en:"), this);
    label->setBuddy(destino_);
    elegir_ =
        addButton(QStringLiteral("cbElegir"), QStringLiteral("&Elegir…"), [this] { choose(); });
    estado_ = addText(QStringLiteral("lblEstado"));
    estado_->setAccessibleName(QStringLiteral("Estado"));
    progress_ = new ProgressPanel(this);
    task_ = new Task(this);
    connect(task_, &Task::finished, this, [this] { finished(); });
    copiar_ = addButton(QStringLiteral("cbCopiar"), QStringLiteral("&Copiar"), [this] { copy(); });
    cerrar_ = addButton(QStringLiteral("cbCerrar"), QStringLiteral("Cerrar"), [this] { Unload(); });
    setCancelButton(cerrar_);

    layout()->addWidget(origen_);
    layout()->addWidget(label);
    auto* where = new QHBoxLayout;
    where->addWidget(destino_, 1);
    where->addWidget(elegir_);
    layout()->addLayout(where);
    layout()->addWidget(estado_);
    layout()->addWidget(progress_);
    layout()->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(copiar_);
    row->addWidget(cerrar_);
    layout()->addLayout(row);
    int i = 0;
    for (QWidget* w : std::initializer_list<QWidget*>{destino_, elegir_, copiar_, cerrar_})
        setTabIndex(w, i++);
}

void frmcopia::Form_Load() {
    book_ = BookPath();
    Database::open(book_.toStdString(), false);  // a book at all, else its own error
    origen_->setText(QStringLiteral("Agenda: %1").arg(book_));
    // Where a person keeps their files, named by the day.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::homePath();
    const QString stem =
        QStringLiteral("agenda-%1").arg(QDate::currentDate().toString(Qt::ISODate));
    QString name = stem + QStringLiteral(".mdb");
    for (int n = 2; QFileInfo::exists(folder + QLatin1Char('/') + name); ++n)
        name = QStringLiteral("%1-%2.mdb").arg(stem).arg(n);
    destino_->setText(QDir(folder).filePath(name));
    setState(State::Ready);
    finishLayout(fontMetrics().averageCharWidth() * 70);
}

void frmcopia::choose() {
    const QString chosen =
        QFileDialog::getSaveFileName(this, QStringLiteral("Copiar la agenda en"), destino_->text(),
                                     QStringLiteral("Agendas (*.mdb);;Todos los archivos (*)"),
                                     nullptr, QFileDialog::DontConfirmOverwrite);
    if (!chosen.isEmpty()) destino_->setText(chosen);
    destino_->setFocus();
}

void frmcopia::copy() {
    if (task_->running()) return;
    QString dest = destino_->text().trimmed();
    if (dest.isEmpty()) {
        estado_->setText(QStringLiteral("Escriba dónde hacer la copia."));
        setState(State::Failed);
        return;
    }
    if (dest.startsWith(QLatin1String("~/"))) dest = QDir::homePath() + dest.mid(1);
    dest = QFileInfo(dest).absoluteFilePath();
    if (QFileInfo(dest).isDir()) dest = QDir(dest).filePath(QFileInfo(book_).fileName());
    if (QFileInfo::exists(dest)) {
        // Never over a file: it may be the book itself, or another copy.
        estado_->setText(
            QStringLiteral(
                "Ya existe %1: elija otro nombre (una copia nunca reemplaza un archivo).")
                .arg(dest));
        setState(State::Failed);
        destino_->setFocus();
        return;
    }
    made_ = dest;
    const std::string book = book_.toStdString(), to = dest.toStdString();
    task_->start([this, book, to](Task& t) {
        t.setStage(QStringLiteral("Copiando la agenda"));
        backup::copy(book, to);
        auto copy = Database::open(to, false);
        sql::Statement n(copy->handle(), "SELECT count(*) FROM main.Registros");
        n.step();
        const qint64 count = n.int64(0);
        QMetaObject::invokeMethod(
            this, [this, count] { contacts_ = count; }, Qt::QueuedConnection);
    });
    progress_->follow(task_, QString());
    setState(State::Copying);
}

void frmcopia::finished() {
    progress_->stop();
    if (!task_->error().isEmpty()) {
        estado_->setText(QStringLiteral("No se ha hecho la copia: %1").arg(task_->error()));
        setState(State::Failed);
        return;
    }
    estado_->setText(QStringLiteral("Copia hecha en %1 (%2). Es una agenda completa: se abre con "
                                    "orvane-db o copiándola como orv.mdb.")
                         .arg(made_, plural(contacts_, QStringLiteral("contacto"),
                                            QStringLiteral("contactos"))));
    setState(State::Copied);
}

bool frmcopia::Form_QueryUnload() {
    // The copy is one step of SQLite's; closing waits for it, and never
    // leaves half a file.
    task_->wait();
    return true;
}

void frmcopia::setState(State state) {
    state_ = state;
    const bool busy = state == State::Copying;
    destino_->setEnabled(!busy);
    elegir_->setEnabled(!busy);
    copiar_->setEnabled(!busy);
    cerrar_->setEnabled(!busy);
    setDefaultButton(busy ? nullptr : state == State::Copied ? cerrar_ : copiar_);
    if (!isVisible()) return;
    if (state == State::Copied)
        cerrar_->setFocus();
    else if (!busy && !destino_->hasFocus())
        destino_->setFocus();
}

}  // namespace orv::ui::desk
