// The results window: "Todos" and the letter "m" on the book in --appdir.

#include "tools/snap/snap.h"
#include "ui/orvmod.h"

namespace {

QWidget* results(const QString& filtro, QString* whyNot) {
    orvmod::sFiltro = filtro;
    orvmod::sOrigen = QStringLiteral("Registros");
    return orv::snap::showWindow(QStringLiteral("frmsecond"), whyNot);
}

const orv::snap::Registrar all("frmsecond",
                               [](QString* whyNot) { return results(QString(), whyNot); });
const orv::snap::Registrar byLetter("frmsecond-m", [](QString* whyNot) {
    return results(QStringLiteral("m"), whyNot);
});

}  // namespace
