// orvane-db backup: a whole copy of the book while others may write.

#include <string>

#include "store/backup.h"
#include "store/engine.h"
#include "store/sql.h"
#include "tools/orvane-db/common.h"

namespace orv::db {

int backupCommand(const Invocation& a, const Console& con) {
    std::string dest;
    if (a.positional.size() == 2) {
        dest = a.positional[1];
        backup::copy(a.positional[0], dest);
    } else {
        Database::open(a.positional[0], false);  // a book at all, else its own error
        dest = backup::keepCopy(a.positional[0]);
    }
    auto copy = Database::open(dest, false);
    sql::Statement n(copy->handle(), "SELECT count(*) FROM main.Registros");
    n.step();
    con.out << "Copia de " << a.positional[0] << " en " << dest << " (" << n.int64(0)
            << " contactos)\n";
    return kDone;
}

}  // namespace orv::db
