// The main window (panel hidden and shown) and the about window.

#include <QAbstractButton>

#include "tools/snap/snap.h"

namespace {

using orv::snap::Registrar;

const Registrar mainWindow("frmmain", [](QString* whyNot) {
    return orv::snap::showWindow(QStringLiteral("frmmain"), whyNot);
});

const Registrar mainWithLetters("frmmain-letras", [](QString* whyNot) -> QWidget* {
    QWidget* form = orv::snap::showWindow(QStringLiteral("frmmain"), whyNot);
    if (!form) return nullptr;
    auto* toggle = form->findChild<QAbstractButton*>(QStringLiteral("cbPorLetra"));
    if (!toggle) {
        *whyNot = QStringLiteral("cbPorLetra not found");
        return nullptr;
    }
    toggle->click();
    orv::snap::settle();
    return form;
});

const Registrar about("frmabout", [](QString* whyNot) {
    return orv::snap::showWindow(QStringLiteral("frmabout"), whyNot);
});

}  // namespace
