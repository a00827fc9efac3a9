// The table of orvane-db's commands: one row a command, from which its
// help, its manual page and its completion are made, and its arguments are
// read as its usage line says.

#include "tools/orvane-db/commands.h"
#include "tools/orvane-db/sync.h"

namespace orv::db {

namespace {

constexpr Command kCommands[] = {
    {"init", "ARCHIVO", "crea una agenda vacía (nunca sobrescribe un archivo existente)",
     initCommand},
    {"demo", "ARCHIVO N [--seed S]",
     "crea una agenda con N contactos de ejemplo (los mismos para la misma S)", demoCommand,
     Pace::kInBackground},
    {"list", "ARCHIVO PREFIJO",
     "lista los contactos cuyo nombre empieza por PREFIJO (\"\" para todos), como la\n"
     "ventana de resultados",
     listCommand},
    {"check", "ARCHIVO",
     "comprueba la agenda (integridad, forma de la tabla, claves de orden); estado 0 si\n"
     "está bien, 1 si no",
     checkCommand, Pace::kInBackground},
    {"reindex", "ARCHIVO",
     "rehace las claves de orden (y convierte una agenda del formato anterior)", reindexCommand,
     Pace::kInBackground},
    {"import",
     "ARCHIVO ENTRADA [--format csv|vcard|ldif|abook] [--dry-run] [--keep-duplicates] "
     "[--skip-bad]",
     "añade los contactos de ENTRADA (.csv, .vcf, .ldif o el archivo addressbook de\n"
     "abook); todo o nada, salvo con --skip-bad",
     importCommand, Pace::kInBackground},
    {"export", "ARCHIVO SALIDA [--format csv|vcard]",
     "escribe todos los contactos en SALIDA (.csv o .vcf), que no debe existir", exportCommand,
     Pace::kInBackground},
    {"sync",
     "ARCHIVO [URL] [--user NOMBRE] [--address-book NOMBRE] [--password-file F] [--ca-file F] "
     "[--fingerprint HUELLA] [--save-password] [--allow-http] [--other-address-book] "
     "[--allow-deletions] [--dry-run]",
     "sincroniza en los dos sentidos con una libreta CardDAV del servidor URL (sin URL,\n"
     "la de la última vez); la contraseña, de F (solo legible por usted), de\n"
     "ORVANE_CARDDAV_PASSWORD, del llavero del escritorio o preguntada; --save-password\n"
     "la guarda en el llavero; un certificado que el sistema no reconoce se acepta con\n"
     "--fingerprint y su huella SHA-256, y se recuerda; no borra todos los contactos de\n"
     "un lado, ni más de la mitad, sin --allow-deletions",
     syncCommand, Pace::kInBackground},
    {"history", "ARCHIVO [CODIGO] [--deleted]",
     "los cambios, del último al primero, con su momento, clase, origen y campos; con\n"
     "CODIGO, la historia de ese contacto; con --deleted, los contactos borrados",
     historyCommand},
    {"restore", "ARCHIVO CODIGO [--at MOMENTO]",
     "devuelve un contacto borrado con su código, o un contacto como estaba en MOMENTO",
     restoreCommand},
    {"undo", "ARCHIVO --to MOMENTO [--dry-run]",
     "devuelve toda la agenda a como estaba en MOMENTO («2026-12-07 14:30», «hace 2\n"
     "horas»), en una transacción",
     undoCommand, Pace::kInBackground},
    {"backup", "ARCHIVO [DESTINO]",
     "copia coherente de la agenda aunque esté abierta (sin DESTINO, en copias/ junto a\n"
     "ella)",
     backupCommand, Pace::kInBackground},
    {"forget", "ARCHIVO CODIGO [--yes]",
     "borra para siempre un contacto (aunque ya esté borrado) y todo rastro de él: su\n"
     "historia, su tarjeta guardada y sus datos en las copias; pide confirmación en la\n"
     "terminal (--yes para no preguntar)",
     forgetCommand, Pace::kInBackground},
};

}  // namespace

std::span<const Command> commandTable() {
    return kCommands;
}

const Command* findCommand(std::string_view name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace orv::db
