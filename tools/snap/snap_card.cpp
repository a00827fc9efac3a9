// The record card in its three states: browse, new (a name typed) and modify.

#include <QAbstractButton>
#include <QLineEdit>

#include "tools/snap/snap.h"

namespace {

using orv::snap::Registrar;

// Shows the card on its first contact and presses `button` (none: browse).
QWidget* cardAfter(const char* button, QString* whyNot) {
    QWidget* card = orv::snap::showWindow(QStringLiteral("frmfinal"), whyNot);
    if (!card || !button) return card;
    auto* pressed = card->findChild<QAbstractButton*>(QString::fromLatin1(button));
    if (!pressed) {
        *whyNot = QStringLiteral("%1 not found").arg(QString::fromLatin1(button));
        return nullptr;
    }
    pressed->setFocus();
    pressed->click();
    orv::snap::settle();
    return card;
}

const Registrar browse("frmfinal", [](QString* whyNot) { return cardAfter(nullptr, whyNot); });

const Registrar nuevo("frmfinal-nuevo", [](QString* whyNot) -> QWidget* {
    QWidget* card = cardAfter("cbNuevo", whyNot);
    if (auto* name = card ? card->findChild<QLineEdit*>(QStringLiteral("txtnom")) : nullptr)
        name->insert(QStringLiteral("Zoe"));
    orv::snap::settle();
    return card;
});

const Registrar modificar("frmfinal-modificar",
                          [](QString* whyNot) { return cardAfter("cbModificar", whyNot); });

}  // namespace
