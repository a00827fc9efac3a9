// orvane-db export: every contact into a new CSV or vCard file.

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "exchange/card.h"
#include "exchange/cardedit.h"
#include "exchange/csv.h"
#include "exchange/properties.h"
#include "store/atomicfile.h"
#include "store/engine.h"
#include "store/handles.h"
#include "store/schema.h"
#include "store/sql.h"
#include "tools/orvane-db/common.h"
#include "tools/orvane-db/progress.h"

namespace orv::db {

using namespace orv::exchange;

int exportCommand(const Invocation& a, const Console& con) {
    const std::string& output = a.positional[1];
    const Format format = chooseFormat(a, output, false);
    refuseExisting(output);
    auto db = Database::open(a.positional[0]);
    sqlite3* h = db->handle();
    std::size_t total = 0;
    {
        sql::Statement count(h, "SELECT count(*) FROM " + std::string(schema::kTable));
        if (count.step()) total = static_cast<std::size_t>(count.int64(0));
    }
    ContactCursor contacts(h);

    // Never a short file that looks whole, nor a temporary one left behind,
    // and no suffix on the output's name that could make it too long.
    const std::filesystem::path parent = std::filesystem::path(output).parent_path();
    const std::string dir = parent.empty() ? std::string(".") : parent.string();
    const auto failed = [&](AtomicFile::Stage stage, int err) {
        throw systemFailure(
            (stage == AtomicFile::Stage::Write ? "no se puede escribir " : "no se puede crear ") +
                output,
            err);
    };
    const Fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) failed(AtomicFile::Stage::Create, errno);
    AtomicFile f(folder.get(), dir, failed);
    std::size_t written = 0;
    const auto write = [&f](const std::string& s) { f.write(s); };
    Progress progress("contactos", total, con.progress ? stderr : nullptr);
    if (format == Format::Csv) write(csvHeader());
    Contact c;
    std::size_t moved = 0, unwritten = 0, unwrittenContacts = 0;
    exchange::KeptReader kept(h);
    while (contacts.next(c)) {
        bool movedDate = false;
        const std::vector<std::string> lines = kept.of(std::stoll(*c[kCodigo]));
        if (format == Format::Csv) {
            // A CSV has no place for a photo or an X- line: say how many stay behind.
            const auto n = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                return exchange::keptAside(l);
            });
            unwritten += static_cast<std::size_t>(n);
            unwrittenContacts += n > 0;
        }
        write(format == Format::Csv ? csvRecord(c, &movedDate)
                                    : exchange::cardFromKept(c, {}, lines));
        if (movedDate && ++moved <= 20)
            con.err << "código " << *c[kCodigo] << ": la fecha de nacimiento \""
                    << printable(*c[kFecha]) << "\" no es una fecha; va en Mas info\n";
        if ((++written & 1023) == 0) progress.update(written);
    }
    progress.finish();
    if (moved > 20) con.err << "... y " << moved - 20 << " fechas más en Mas info\n";
    if (unwritten)
        con.err << "el CSV no puede llevar " << plural(unwritten, "propiedad", "propiedades")
                << " de " << plural(unwrittenContacts, "contacto", "contactos")
                << " (fotos, claves, GEO, TZ, X-...): quedan en la agenda; expórtela como "
                   "vCard para llevarlas\n";
    if (!f.publish(std::filesystem::path(output).filename().string())) {
        refuseExisting(output);
        failed(AtomicFile::Stage::Name, EEXIST);
    }
    con.out << plural(written, "contacto exportado", "contactos exportados") << " a " << output
            << "\n";
    return kDone;
}

}  // namespace orv::db
