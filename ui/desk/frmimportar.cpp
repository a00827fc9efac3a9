#include "ui/desk/frmimportar.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPlainTextEdit>

#include "store/engine.h"
#include "store/history.h"
#include "store/keys.h"
#include "store/sql.h"
#include "ui/desk/desk.h"

namespace orv::ui::desk {

namespace {

QString contactos(qint64 n) {
    return plural(n, QStringLiteral("contacto"), QStringLiteral("contactos"));
}

}  // namespace

frmimportar::frmimportar()
    : DeskForm(QStringLiteral("frmimportar"), QStringLiteral("Importar contactos")) {
    file_ = addText(QStringLiteral("lblArchivo"));
    file_->setAccessibleName(QStringLiteral("Archivo"));
    QFont bold = file_->font();
    bold.setBold(true);
    file_->setFont(bold);
    summaryText_ = addText(QStringLiteral("lblResumen"));
    summaryText_->setAccessibleName(QStringLiteral("Resumen"));
    detail_ = new QPlainTextEdit(this);
    detail_->setObjectName(QStringLiteral("txtDetalle"));
    detail_->setAccessibleName(QStringLiteral("Detalle"));
    detail_->setReadOnly(true);
    detail_->setTabChangesFocus(true);
    detail_->setLineWrapMode(QPlainTextEdit::NoWrap);
    progress_ = new ProgressPanel(this);
    task_ = new Task(this);
    connect(task_, &Task::finished, this, [this] { finished(); });

    elegir_ = addButton(QStringLiteral("cbElegir"), QStringLiteral("&Elegir archivo…"),
                        [this] { choose(); });
    importar_ =
        addButton(QStringLiteral("cbImportar"), QStringLiteral("&Importar"), [this] { import(); });
    deshacer_ = addButton(QStringLiteral("cbDeshacer"), QStringLiteral("&Deshacer la importación"),
                          [this] { undo(); });
    siguiente_ = addButton(QStringLiteral("cbSiguiente"), QStringLiteral("&Siguiente archivo"),
                           [this] { next(); });
    cancelar_ =
        addButton(QStringLiteral("cbCancelar"), QStringLiteral("Cancelar"), [this] { cancel(); });
    setCancelButton(cancelar_);

    layout()->addWidget(file_);
    layout()->addWidget(summaryText_);
    layout()->addWidget(detail_, 1);
    layout()->addWidget(progress_);
    auto* row = new QHBoxLayout;
    row->addWidget(elegir_);
    row->addStretch(1);
    for (QPushButton* b : {importar_, deshacer_, siguiente_, cancelar_}) row->addWidget(b);
    layout()->addLayout(row);
    int i = 0;
    for (QWidget* w : std::initializer_list<QWidget*>{detail_, elegir_, importar_, deshacer_,
                                                      siguiente_, cancelar_})
        setTabIndex(w, i++);
}

void frmimportar::Form_Load() {
    setFiles(filesToImport());
    finishLayout(fontMetrics().averageCharWidth() * 90);
    resize(width(), std::max(height(), fontMetrics().height() * 28));
}

void frmimportar::setFiles(const QStringList& files) {
    files_ = files;
    current_ = -1;
    if (files_.isEmpty()) {
        setState(State::NoFile);
        return;
    }
    next();
}

QString frmimportar::fileName() const {
    if (current_ < 0 || current_ >= files_.size()) return QString();
    return files_[current_];
}

void frmimportar::choose() {
    const QStringList chosen = QFileDialog::getOpenFileNames(
        this, QStringLiteral("Elegir archivos de contactos"), QString(),
        QStringLiteral(
            "Contactos (*.vcf *.vcard *.csv *.ldif *.ldi addressbook);;Todos los archivos (*)"));
    if (!chosen.isEmpty()) setFiles(chosen);
}

void frmimportar::next() {
    if (task_->running()) return;
    if (current_ + 1 >= files_.size()) {
        Unload();
        return;
    }
    ++current_;
    check();
}

void frmimportar::check() {
    summary_ = {};
    detail_->clear();
    setState(State::Checking);
    const QString book = BookPath(), file = fileName();
    importing_ = false;
    task_->start([this, book, file](Task& t) {
        ImportSummary s = importFile(t, book, file, true, true);
        QMetaObject::invokeMethod(
            this, [this, s] { summary_ = s; }, Qt::QueuedConnection);
    });
    progress_->follow(task_, QStringLiteral("bytes"));
}

void frmimportar::import() {
    if (state_ != State::Checked || task_->running()) return;
    if (summary_.problems > 0 &&
        MsgBox(QStringLiteral(
                   "%1 del archivo no se pueden leer y se quedarán fuera. Importar los demás?")
                   .arg(plural(summary_.problems, QStringLiteral("registro"),
                               QStringLiteral("registros"))),
               vbYesNo) != vbYes)
        return;
    setState(State::Importing);
    const QString book = BookPath(), file = fileName();
    importing_ = true;
    task_->start([this, book, file](Task& t) {
        ImportSummary s = importFile(t, book, file, false, true);
        QMetaObject::invokeMethod(
            this, [this, s] { summary_ = s; }, Qt::QueuedConnection);
    });
    progress_->follow(task_, QStringLiteral("bytes"));
}

void frmimportar::finished() {
    progress_->stop();
    const bool wrote = importing_;
    importing_ = false;
    if (!task_->error().isEmpty()) {
        summaryText_->setText(task_->error());
        setState(State::Failed);
        return;
    }
    if (task_->cancelled()) {
        summaryText_->setText(
            wrote ? QStringLiteral("Importación cancelada: no se ha importado nada.")
                  : QStringLiteral("Cancelado: no se ha importado nada."));
        setState(State::Failed);
        return;
    }
    summaryText_->setText(report(summary_));
    QStringList lines = summary_.problemLines;
    if (summary_.problems > summary_.problemLines.size())
        lines << QStringLiteral("… y %1 más").arg(summary_.problems - summary_.problemLines.size());
    lines << summary_.lines;
    const qint64 listed = summary_.fresh + summary_.duplicates;
    if (listed > summary_.lines.size())
        lines << QStringLiteral("… y %1 más").arg(listed - summary_.lines.size());
    detail_->setPlainText(lines.join(QLatin1Char('\n')));
    setState(wrote ? State::Imported : State::Checked);
}

QString frmimportar::report(const ImportSummary& s) const {
    QStringList out;
    if (s.dryRun) {
        out << (s.fresh ? QStringLiteral("Se importarían %1.").arg(contactos(s.fresh))
                        : QStringLiteral("No hay ningún contacto nuevo que importar."));
    } else {
        out << QStringLiteral("Importados %1.").arg(contactos(s.fresh));
    }
    if (s.duplicates)
        out << (s.duplicates == 1
                    ? QStringLiteral("1 repetido, igual a uno de la agenda: no se importa.")
                    : QStringLiteral("%1 repetidos, iguales a uno de la agenda: no se importan.")
                          .arg(plural(s.duplicates, QString(), QString()).trimmed()));
    if (s.lookalikes)
        out << QStringLiteral("%1 (el mismo nombre que uno de la agenda): se %2.")
                   .arg(plural(s.lookalikes, QStringLiteral("posible repetido"),
                               QStringLiteral("posibles repetidos")),
                        s.lookalikes == 1 ? QStringLiteral("importa") : QStringLiteral("importan"));
    if (s.problems)
        out << QStringLiteral("%1 no se %2 leer: %3.")
                   .arg(plural(s.problems, QStringLiteral("registro"), QStringLiteral("registros")),
                        s.problems == 1 ? QStringLiteral("puede") : QStringLiteral("pueden"),
                        s.dryRun ? QStringLiteral("se quedarían fuera")
                                 : QStringLiteral("se han quedado fuera"));
    if (s.groups)
        out << QStringLiteral("%1 (son listas, no contactos): se dejan fuera.")
                   .arg(plural(s.groups, QStringLiteral("grupo"), QStringLiteral("grupos")));
    QStringList info, aside;
    for (const auto& [name, fate] : s.fates) {
        if (fate.info)
            info << QStringLiteral("%1 %2").arg(QString::fromStdString(name)).arg(fate.info);
        if (fate.aside)
            aside << QStringLiteral("%1 %2").arg(QString::fromStdString(name)).arg(fate.aside);
    }
    if (!info.isEmpty())
        out << QStringLiteral("A «Mas info»: %1.").arg(info.join(QStringLiteral(", ")));
    if (!aside.isEmpty())
        out << QStringLiteral(
                   "Guardado aparte, vuelve a salir al exportar como vCard y al sincronizar: %1.")
                   .arg(aside.join(QStringLiteral(", ")));
    if (!s.assumedOrder.isEmpty())
        out << QStringLiteral("Las fechas no dicen si el día va antes que el mes: se leen como %1.")
                   .arg(s.assumedOrder);
    if (!s.copy.isEmpty()) out << QStringLiteral("Copia de la agenda de antes en %1.").arg(s.copy);
    return out.join(QLatin1Char('\n'));
}

void frmimportar::undo() {
    if (state_ != State::Imported || task_->running()) return;
    const std::string book = BookPath().toStdString();
    const qint64 to = summary_.startedMs - 1;
    history::UndoCounts n;
    {
        auto db = Database::open(book);
        sql::WriteTransaction tx(db->handle());
        n = history::undoTo(db->handle(), to, true);  // counted only: rolled back
    }
    QString question;
    if (n.removed == summary_.fresh && n.changed == 0 && n.back == 0)
        question = QStringLiteral(
                       "Se quitarán de la agenda los %1 que ha traído esta importación. "
                       "Deshacer la importación?")
                       .arg(contactos(summary_.fresh));
    else
        question = QStringLiteral(
                       "Desde la importación la agenda ha cambiado también por otros "
                       "caminos: volverá a como estaba antes de importar, se quitarán "
                       "%1, se cambiarán %2 y volverán %3. Deshacerlo todo?")
                       .arg(contactos(n.removed), contactos(n.changed), contactos(n.back));
    if (MsgBox(question, vbYesNo) != vbYes) return;
    auto db = Database::open(book);
    sql::WriteTransaction tx(db->handle());
    history::label(tx, history::kUndo);
    const history::UndoCounts done = history::undoTo(db->handle(), to, false);
    keys::refresh(db->handle());
    tx.commit();
    summaryText_->setText(QStringLiteral("Importación deshecha: %1 %2 de la agenda.")
                              .arg(contactos(done.removed), done.removed == 1
                                                                ? QStringLiteral("quitado")
                                                                : QStringLiteral("quitados")));
    setState(State::Undone);
}

void frmimportar::cancel() {
    if (task_->running()) {
        task_->cancel();
        cancelar_->setEnabled(false);
        return;
    }
    Unload();
}

bool frmimportar::Form_QueryUnload() {
    if (!task_->running()) return true;
    // Closed while it works: it stops, and nothing is written.
    task_->cancel();
    task_->wait();
    return true;
}

void frmimportar::setState(State state) {
    state_ = state;
    const bool more = current_ + 1 < files_.size();
    const bool busy = state == State::Checking || state == State::Importing;
    if (current_ >= 0 && !fileName().isEmpty())
        file_->setText(files_.size() > 1 ? QStringLiteral("Archivo %1 de %2: %3")
                                               .arg(current_ + 1)
                                               .arg(files_.size())
                                               .arg(fileName())
                                         : fileName());
    else
        file_->setText(QStringLiteral("Ningún archivo elegido"));
    switch (state) {
        case State::NoFile:
            summaryText_->setText(
                QStringLiteral("Elija el archivo de contactos que quiere importar: vCard (.vcf) "
                               "de un teléfono o de otro programa, CSV de Google, Outlook o "
                               "Thunderbird, LDIF o abook."));
            break;
        case State::Checking:
            summaryText_->setText(
                QStringLiteral("Mirando qué contactos traería el archivo; "
                               "todavía no se cambia nada en la agenda."));
            break;
        case State::Importing:
            summaryText_->setText(QStringLiteral("Importando…"));
            break;
        default:
            break;
    }
    elegir_->setVisible(state == State::NoFile);
    importar_->setVisible(state == State::Checked || state == State::Importing ||
                          state == State::Checking);
    importar_->setEnabled(state == State::Checked && summary_.fresh > 0);
    deshacer_->setVisible(state == State::Imported);
    deshacer_->setEnabled(state == State::Imported && summary_.fresh > 0);
    siguiente_->setVisible(more && !busy);
    detail_->setVisible(state != State::NoFile);
    cancelar_->setEnabled(true);
    const bool done = state == State::Imported || state == State::Undone ||
                      state == State::Failed || (state == State::Checked && summary_.fresh == 0);
    cancelar_->setText(busy || state == State::Checked ? QStringLiteral("Cancelar")
                                                       : QStringLiteral("Cerrar"));
    QPushButton* preferred = nullptr;
    if (state == State::NoFile)
        preferred = elegir_;
    else if (state == State::Checked && summary_.fresh > 0)
        preferred = importar_;
    else if (done && more)
        preferred = siguiente_;
    else if (done)
        preferred = cancelar_;
    setDefaultButton(preferred);
    if (preferred && isVisible())
        preferred->setFocus();
    else if (busy && isVisible())
        cancelar_->setFocus();
}

}  // namespace orv::ui::desk
