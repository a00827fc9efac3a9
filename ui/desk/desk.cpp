#include "ui/desk/desk.h"

#include "ui/desk/frmborrados.h"
#include "ui/desk/frmcopia.h"
#include "ui/desk/frmimportar.h"
#include "ui/desk/frmsincronizar.h"

namespace orv::ui::desk {

void registerDeskWindows() {
    Form::registerKind<frmborrados>(QStringLiteral("frmborrados"));
    Form::registerKind<frmcopia>(QStringLiteral("frmcopia"));
    Form::registerKind<frmimportar>(QStringLiteral("frmimportar"));
    Form::registerKind<frmsincronizar>(QStringLiteral("frmsincronizar"));
}

namespace {

struct Option {
    const char* name;
    const char* kind;
};
constexpr Option kOptions[] = {
    {"--borrados", "frmborrados"},
    {"--copia", "frmcopia"},
    {"--importar", "frmimportar"},
    {"--sincronizar", "frmsincronizar"},
};

}  // namespace

bool isDeskOption(const QString& argument) {
    for (const Option& o : kOptions)
        if (argument == QLatin1String(o.name)) return true;
    return false;
}

Request parseArguments(const QStringList& arguments) {
    Request r;
    for (const QString& a : arguments) {
        bool known = false;
        for (const Option& o : kOptions)
            if (a == QLatin1String(o.name)) {
                if (!r.kind.isEmpty() && r.kind != QLatin1String(o.kind)) {
                    r.error = QStringLiteral("elija una sola de las opciones");
                    return {QString(), {}, r.error};
                }
                r.kind = QLatin1String(o.kind);
                known = true;
            }
        if (known) continue;
        if (a.startsWith(QLatin1String("--"))) {
            r.error = QStringLiteral("opción desconocida: %1").arg(a);
            return {QString(), {}, r.error};
        }
        r.files << a;
    }
    // Files alone are to import (the file manager's "Abrir con").
    if (r.kind.isEmpty() && !r.files.isEmpty()) r.kind = QStringLiteral("frmimportar");
    if (!r.files.isEmpty() && r.kind != QLatin1String("frmimportar")) {
        r.error =
            QStringLiteral("%1: solo se abren archivos para importarlos").arg(r.files.first());
        return {QString(), {}, r.error};
    }
    if (r.kind.isEmpty())
        r.error = QStringLiteral(
            "falta qué abrir: un archivo de contactos, --importar, --sincronizar, --borrados o "
            "--copia");
    return r;
}

}  // namespace orv::ui::desk

namespace orv::ui::desk {
namespace {
QStringList& pendingFiles() {
    static QStringList files;
    return files;
}
}  // namespace
void setFilesToImport(const QStringList& files) {
    pendingFiles() = files;
}
QStringList filesToImport() {
    return pendingFiles();
}
}  // namespace orv::ui::desk
