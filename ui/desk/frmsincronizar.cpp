#include "ui/desk/frmsincronizar.h"

#include <QCheckBox>
#include <QFile>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include "store/engine.h"
#include "store/history.h"
#include "sync/guard.h"

namespace orv::ui::desk {

namespace {

constexpr int kUrlRole = Qt::UserRole;

QLabel* buddyLabel(QWidget* parent, const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text, parent);
    label->setBuddy(buddy);
    return label;
}

}  // namespace

frmsincronizar::frmsincronizar()
    : DeskForm(QStringLiteral("frmsincronizar"), QStringLiteral("Sincronización")) {
    servidor_ = new QLineEdit(this);
    servidor_->setObjectName(QStringLiteral("txtServidor"));
    servidor_->setAccessibleName(QStringLiteral("Dirección del servidor"));
    servidor_->setPlaceholderText(QStringLiteral("https://servidor.ejemplo/"));
    usuario_ = new QLineEdit(this);
    usuario_->setObjectName(QStringLiteral("txtUsuario"));
    usuario_->setAccessibleName(QStringLiteral("Usuario"));
    clave_ = new QLineEdit(this);
    clave_->setObjectName(QStringLiteral("txtClave"));
    clave_->setAccessibleName(QStringLiteral("Contraseña"));
    clave_->setEchoMode(QLineEdit::Password);
    clave_->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);

    buscar_ = addButton(QStringLiteral("cbBuscar"), QStringLiteral("&Buscar libretas"),
                        [this] { discover(); });
    libretas_ = new QTreeWidget(this);
    libretas_->setObjectName(QStringLiteral("lstLibretas"));
    libretas_->setAccessibleName(QStringLiteral("Libretas del servidor"));
    libretas_->setRootIsDecorated(false);
    libretas_->setUniformRowHeights(true);
    libretas_->setAllColumnsShowFocus(true);
    libretas_->setSelectionMode(QAbstractItemView::SingleSelection);
    libretas_->setHeaderLabels({QStringLiteral("Libreta"), QStringLiteral("Dirección")});
    libretas_->header()->setStretchLastSection(true);
    libretas_->setTabKeyNavigation(false);

    cada15_ = new QCheckBox(QStringLiteral("Sincronizar cada 1&5 minutos"), this);
    cada15_->setObjectName(QStringLiteral("chkCada15"));
    ultima_ = addText(QStringLiteral("lblUltima"));
    ultima_->setAccessibleName(QStringLiteral("Última sincronización"));
    estado_ = addText(QStringLiteral("lblEstado"));
    estado_->setAccessibleName(QStringLiteral("Estado"));
    informe_ = new QPlainTextEdit(this);
    informe_->setObjectName(QStringLiteral("txtInforme"));
    informe_->setAccessibleName(QStringLiteral("Informe"));
    informe_->setReadOnly(true);
    informe_->setTabChangesFocus(true);
    informe_->setLineWrapMode(QPlainTextEdit::NoWrap);
    progress_ = new ProgressPanel(this);
    task_ = new Task(this);
    connect(task_, &Task::finished, this, [this] { finished(); });

    sincronizar_ = addButton(QStringLiteral("cbSincronizar"), QStringLiteral("&Sincronizar ahora"),
                             [this] { syncNow(); });
    cerrar_ = addButton(QStringLiteral("cbCerrar"), QStringLiteral("Cerrar"), [this] { cancel(); });
    setCancelButton(cerrar_);

    auto* form = new QFormLayout;
    form->addRow(buddyLabel(this, QStringLiteral("&Dirección del servidor:"), servidor_),
                 servidor_);
    form->addRow(buddyLabel(this, QStringLiteral("&Usuario:"), usuario_), usuario_);
    form->addRow(buddyLabel(this, QStringLiteral("C&ontraseña:"), clave_), clave_);
    layout()->addLayout(form);
    auto* findRow = new QHBoxLayout;
    findRow->addStretch(1);
    findRow->addWidget(buscar_);
    layout()->addLayout(findRow);
    layout()->addWidget(buddyLabel(this, QStringLiteral("&Libretas del servidor:"), libretas_));
    layout()->addWidget(libretas_, 1);
    layout()->addWidget(cada15_);
    layout()->addWidget(ultima_);
    layout()->addWidget(estado_);
    layout()->addWidget(informe_, 2);
    layout()->addWidget(progress_);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(sincronizar_);
    row->addWidget(cerrar_);
    layout()->addLayout(row);
    int i = 0;
    for (QWidget* w :
         std::initializer_list<QWidget*>{servidor_, usuario_, clave_, buscar_, libretas_, cada15_,
                                         informe_, sincronizar_, cerrar_})
        setTabIndex(w, i++);

    // The address books listed belong to the address they were found at.
    connect(servidor_, &QLineEdit::textEdited, this, [this] {
        libretas_->clear();
        setState(State::Ready);
    });
    connect(usuario_, &QLineEdit::textEdited, this, [this] { keptPassword(false); });
    connect(libretas_, &QTreeWidget::currentItemChanged, this, [this] { setState(state_); });
    connect(cada15_, &QCheckBox::clicked, this, [this](bool on) { timerClicked(on); });
}

void frmsincronizar::Form_Load() {
    book_ = BookPath();
    {
        auto db = Database::open(book_.toStdString());
        last_ = sync::lastSyncTarget(db->handle());
    }
    if (last_) {
        const QUrl url(QString::fromStdString(last_->url));
        servidor_->setText(url.toDisplayString());
        usuario_->setText(QString::fromStdString(last_->user));
        showFound(
            {sync::AddressBookInfo{url, url.path().section(QLatin1Char('/'), -2, -2), false}});
    }
    // The keyring and systemd may take a moment to answer: beside the window.
    work_ = Work::Load;
    const QString book = book_;
    const std::optional<sync::SyncTarget> last = last_;
    task_->start([this, book, last](Task& t) {
        t.setStage(QStringLiteral("Mirando el llavero y el temporizador"));
        QString problem;
        const bool kept = last && !last->user.empty() &&
                          passwordKept(QUrl(QString::fromStdString(last->url)),
                                       QString::fromStdString(last->user), &problem);
        const TimerState timer = timerState();
        const std::optional<LastSync> previous = lastSync(book);
        QMetaObject::invokeMethod(
            this,
            [this, kept, problem, timer, previous] {
                keyringProblem_ = problem;
                keptPassword(kept);
                timer_ = timer;
                lastSync_ = previous;
            },
            Qt::QueuedConnection);
    });
    progress_->follow(task_, QString());
    setState(State::Loading);
    finishLayout(fontMetrics().averageCharWidth() * 80);
    resize(width(), std::max(height(), fontMetrics().height() * 34));
}

void frmsincronizar::keptPassword(bool kept) {
    passwordKept_ = kept;
    clave_->setPlaceholderText(kept ? QStringLiteral("guardada en el llavero") : QString());
    clave_->setAccessibleDescription(kept ? QStringLiteral("Guardada en el llavero del escritorio")
                                          : QString());
}

std::optional<QUrl> frmsincronizar::chosenBook() const {
    const QTreeWidgetItem* item = libretas_->currentItem();
    if (!item || item->isDisabled()) return std::nullopt;
    return item->data(0, kUrlRole).toUrl();
}

void frmsincronizar::showFound(const std::vector<sync::AddressBookInfo>& books) {
    libretas_->clear();
    QTreeWidgetItem* preferred = nullptr;
    for (const sync::AddressBookInfo& b : books) {
        const QString address = b.url.toDisplayString(QUrl::RemoveUserInfo);
        auto* item = new QTreeWidgetItem(
            libretas_, {b.name, b.elsewhere ? address + QStringLiteral(" (en otro servidor: no se "
                                                                       "usa)")
                                            : address});
        item->setData(0, kUrlRole, b.url);
        if (b.elsewhere) {
            item->setDisabled(true);
            continue;
        }
        const bool wasLast =
            last_ &&
            QUrl(QString::fromStdString(last_->url)).path().section(QLatin1Char('/'), 0, -2) ==
                b.url.path().section(QLatin1Char('/'), 0, -2);
        if (!preferred || wasLast) preferred = item;
    }
    libretas_->resizeColumnToContents(0);
    if (preferred) libretas_->setCurrentItem(preferred);
}

void frmsincronizar::discover() {
    if (task_->running()) return;
    const QString why = addressProblem(servidor_->text(), usuario_->text().trimmed());
    if (!why.isEmpty()) {
        fail(why, servidor_);
        return;
    }
    QString text = servidor_->text().trimmed();
    if (!text.contains(QLatin1String("://"))) text = QStringLiteral("https://") + text;
    servidor_->setText(text);
    SyncJob job;
    job.book = book_;
    job.address = QUrl(text, QUrl::StrictMode);
    job.user = usuario_->text().trimmed();
    job.password = clave_->text();
    job.discover = true;
    start(job);
}

void frmsincronizar::syncNow() {
    if (task_->running()) return;
    const std::optional<QUrl> chosen = chosenBook();
    if (!chosen) {
        fail(QStringLiteral(
                 "Busque primero las libretas del servidor y elija la que quiere sincronizar."),
             servidor_);
        return;
    }
    const QString user = usuario_->text().trimmed();
    if (const QString why = addressProblem(chosen->toString(), user); !why.isEmpty()) {
        fail(why, servidor_);
        return;
    }
    SyncJob job;
    job.book = book_;
    job.address = *chosen;
    job.user = user;
    job.password = clave_->text();
    start(job);
}

void frmsincronizar::start(const SyncJob& job) {
    job_ = job;
    work_ = Work::Sync;
    // What a task stopped before its end leaves.
    outcome_ = SyncOutcome{};
    outcome_.kind = SyncOutcome::Kind::Cancelled;
    informe_->clear();
    task_->start([this, job](Task& t) {
        SyncOutcome o = runSync(t, job);
        QMetaObject::invokeMethod(
            this, [this, o = std::move(o)] { outcome_ = o; }, Qt::QueuedConnection);
    });
    progress_->follow(task_, QStringLiteral("tarjetas"));
    estado_->clear();
    setState(job.discover ? State::Looking : State::Syncing);
}

void frmsincronizar::timerClicked(bool on) {
    if (task_->running()) return;
    auto refuse = [this, on](const QString& why) {
        cada15_->setChecked(!on);
        MsgBox(why);
    };
    if (!on) {
        work_ = Work::Timer;
        task_->start([this](Task& t) {
            t.setStage(QStringLiteral("Desactivando el temporizador"));
            const QString why = disableTimer();
            const TimerState s = timerState();
            QMetaObject::invokeMethod(
                this, [this, why, s] { timerError_ = why, timer_ = s; }, Qt::QueuedConnection);
        });
        progress_->follow(task_, QString());
        setState(State::Switching);
        return;
    }
    if (!timer_.problem.isEmpty()) {
        refuse(QStringLiteral("No se puede sincronizar cada 15 minutos: %1. Sincronice con "
                              "«Sincronizar ahora» cuando quiera.")
                   .arg(timer_.problem));
        return;
    }
    const QString tool = syncTool();
    if (tool.isEmpty()) {
        refuse(QStringLiteral(
            "No se puede sincronizar cada 15 minutos: orvane-db no está instalado junto a este "
            "programa, y el temporizador lo necesita."));
        return;
    }
    {
        auto db = Database::open(book_.toStdString());
        last_ = sync::lastSyncTarget(db->handle());
    }
    if (!last_) {
        refuse(QStringLiteral(
            "Sincronice primero una vez con «Sincronizar ahora»: el temporizador repite esa "
            "sincronización cada 15 minutos."));
        return;
    }
    if (!last_->user.empty() && !passwordKept_) {
        refuse(QStringLiteral("El temporizador toma la contraseña del llavero del escritorio, y no "
                              "está guardada allí%1. Sincronice una vez escribiendo la contraseña "
                              "para guardarla.")
                   .arg(keyringProblem_.isEmpty() ? QString()
                                                  : QStringLiteral(" (%1)").arg(keyringProblem_)));
        return;
    }
    const TimerUnits units = timerUnits(tool, book_);
    for (const auto& [path, text] :
         {std::pair{units.service, units.serviceText}, std::pair{units.timer, units.timerText}}) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly) && f.readAll() != text &&
            MsgBox(QStringLiteral("Ya hay un %1 distinto del que escribiría Orvane (hecho a mano, "
                                  "quizá). Reemplazarlo?")
                       .arg(path),
                   vbYesNo + vbDefaultButton2) != vbYes) {
            cada15_->setChecked(false);
            return;
        }
    }
    work_ = Work::Timer;
    task_->start([this, units](Task& t) {
        t.setStage(QStringLiteral("Activando el temporizador"));
        const QString why = enableTimer(units);
        const TimerState s = timerState();
        QMetaObject::invokeMethod(
            this, [this, why, s] { timerError_ = why, timer_ = s; }, Qt::QueuedConnection);
    });
    progress_->follow(task_, QString());
    setState(State::Switching);
}

void frmsincronizar::cancel() {
    if (task_->running()) {
        task_->cancel();
        cerrar_->setEnabled(false);
        return;
    }
    Unload();
}

bool frmsincronizar::Form_QueryUnload() {
    if (!task_->running()) return true;
    // Closed while it works: the sync stops where it next looks.
    task_->cancel();
    task_->wait();
    return true;
}

void frmsincronizar::finished() {
    progress_->stop();
    const Work work = work_;
    work_ = Work::None;
    if (!task_->error().isEmpty()) {
        fail(task_->error());
        if (work == Work::Sync && !job_.discover) {
            lastSync_ = LastSync{history::nowMs(),
                                 QStringLiteral("no se ha sincronizado: ") + task_->error()};
            recordSync(book_, *lastSync_);
        }
        showLast();
        return;
    }
    switch (work) {
        case Work::Load:
            showLast();
            setState(State::Ready);
            if (chosenBook()) sincronizar_->setFocus();
            return;
        case Work::Timer:
            cada15_->setChecked(timer_.enabled);
            showLast();
            setState(State::Ready);
            if (!timerError_.isEmpty()) {
                estado_->setText(timerError_);
                MsgBox(timerError_);
            } else {
                estado_->setText(timer_.enabled
                                     ? QStringLiteral("La agenda se sincronizará cada 15 minutos, "
                                                      "también con Orvane cerrado.")
                                     : QStringLiteral("Ya no se sincroniza cada 15 minutos."));
            }
            cada15_->setFocus();
            return;
        case Work::Sync:
            handle(outcome_);
            showLast();
            return;
        case Work::None:
            return;
    }
}

void frmsincronizar::handle(const SyncOutcome& o) {
    using Kind = SyncOutcome::Kind;
    if (task_->cancelled() && o.kind != Kind::Synced) {
        estado_->setText(QStringLiteral("Cancelado: no se ha cambiado nada en ningún lado."));
        setState(State::Failed);
        return;
    }
    switch (o.kind) {
        case Kind::Certificate: {
            if (MsgBox(certificateQuestion(job_.address, o.certificate),
                       vbYesNo + vbDefaultButton2) != vbYes) {
                fail(QStringLiteral("Certificado no aceptado: no se ha sincronizado."));
                return;
            }
            if (const QString why = acceptCertificate(job_.address, o.certificate);
                !why.isEmpty()) {
                fail(why);
                return;
            }
            start(job_);
            return;
        }
        case Kind::NeedPassword:
            fail(QStringLiteral("Escriba la contraseña de %1: no hay ninguna guardada en el "
                                "llavero del escritorio%2.")
                     .arg(job_.user, o.keyringProblem.isEmpty()
                                         ? QString()
                                         : QStringLiteral(" (%1)").arg(o.keyringProblem)),
                 clave_);
            return;
        case Kind::Found: {
            showFound(o.books);
            if (!chosenBook()) {
                fail(QStringLiteral("El servidor no tiene ninguna libreta de direcciones que se "
                                    "pueda sincronizar."),
                     servidor_);
                return;
            }
            estado_->setText(
                QStringLiteral("%1 en el servidor. Elija la que quiere sincronizar con esta "
                               "agenda y pulse «Sincronizar ahora».")
                    .arg(plural(libretas_->topLevelItemCount(), QStringLiteral("libreta"),
                                QStringLiteral("libretas"))));
            setState(State::Found);
            libretas_->setFocus();
            return;
        }
        case Kind::Guard: {
            const QString what =
                QString::fromStdString(sync::tooManyDeletions(*o.report.refused).value_or(""));
            if (MsgBox(QStringLiteral("Esta sincronización %1. Todavía no se ha cambiado nada en "
                                      "ningún lado. Borrarlos de todos modos?")
                           .arg(what),
                       vbYesNo + vbDefaultButton2) != vbYes) {
                fail(
                    QStringLiteral("No se ha sincronizado: no se ha cambiado nada en ningún "
                                   "lado."));
                return;
            }
            job_.allowDeletions = true;
            start(job_);
            return;
        }
        case Kind::OtherBook: {
            QString why = QString::fromStdString(o.report.fatal);
            if (!why.isEmpty()) why[0] = why[0].toUpper();
            if (MsgBox(why + QStringLiteral(". Enlazar esta agenda con la libreta elegida de todos "
                                            "modos? Los contactos iguales se emparejan."),
                       vbYesNo + vbDefaultButton2) != vbYes) {
                fail(
                    QStringLiteral("No se ha sincronizado: no se ha cambiado nada en ningún "
                                   "lado."));
                return;
            }
            job_.otherAddressBook = true;
            start(job_);
            return;
        }
        case Kind::Cancelled:
            fail(QStringLiteral("Cancelado: no se ha cambiado nada en ningún lado."));
            return;
        case Kind::Failed:
            fail(o.error);
            if (!job_.discover) {
                lastSync_ =
                    LastSync{history::nowMs(), QStringLiteral("no se ha sincronizado: ") + o.error};
                recordSync(book_, *lastSync_);
            }
            return;
        case Kind::Synced:
            break;
    }
    const sync::SyncReport& r = o.report;
    QString summary = reportSummary(r);
    if (!job_.password.isEmpty() && !job_.user.isEmpty()) {
        if (o.passwordKept) {
            clave_->clear();
            summary +=
                QStringLiteral(" La contraseña queda guardada en el llavero del escritorio.");
        } else {
            summary += QStringLiteral(
                           " La contraseña no se ha podido guardar en el llavero del "
                           "escritorio (%1): escríbala en cada sincronización.")
                           .arg(o.keyringProblem);
        }
    }
    keyringProblem_ = o.keyringProblem;
    keptPassword(o.passwordKept);
    estado_->setText(summary);
    const QString detail = reportText(r);
    informe_->setPlainText(detail.isEmpty() ? summary : detail);
    {
        auto db = Database::open(book_.toStdString());
        last_ = sync::lastSyncTarget(db->handle());
    }
    lastSync_ = LastSync{history::nowMs(), reportSummary(r)};
    recordSync(book_, *lastSync_);
    setState(State::Synced);
}

void frmsincronizar::showLast() {
    if (lastSync_) {
        QString text = lastSync_->text;
        if (text.endsWith(QLatin1Char('.'))) text.chop(1);
        if (!text.isEmpty()) text[0] = text[0].toLower();
        ultima_->setText(
            QStringLiteral("Última sincronización: %1, %2.").arg(momentText(lastSync_->ms), text));
    } else {
        ultima_->setText(last_ ? QStringLiteral("Última sincronización: no consta (se hizo "
                                                "fuera de esta ventana).")
                               : QStringLiteral("Esta agenda no se ha sincronizado nunca."));
    }
}

void frmsincronizar::fail(const QString& why, QWidget* focus) {
    estado_->setText(why);
    setState(State::Failed);
    if (focus && isVisible()) focus->setFocus();
}

void frmsincronizar::setState(State state) {
    state_ = state;
    const bool busy = task_->running();
    for (QWidget* w : std::initializer_list<QWidget*>{servidor_, usuario_, clave_, buscar_,
                                                      libretas_, cada15_, sincronizar_})
        w->setEnabled(!busy);
    cerrar_->setEnabled(true);
    cerrar_->setText(busy ? QStringLiteral("Cancelar") : QStringLiteral("Cerrar"));
    informe_->setVisible(!informe_->document()->isEmpty());
    QPushButton* preferred = nullptr;
    if (busy)
        preferred = nullptr;
    else if (state == State::Synced)
        preferred = cerrar_;
    else if (chosenBook())
        preferred = sincronizar_;
    else
        preferred = buscar_;
    setDefaultButton(preferred);
    if (!isVisible()) return;
    if (busy)
        cerrar_->setFocus();
    else if (focusWidget() == cerrar_ && preferred && preferred != cerrar_)
        preferred->setFocus();  // Enter on "Cerrar", focused while it was "Cancelar", would close
}

}  // namespace orv::ui::desk
