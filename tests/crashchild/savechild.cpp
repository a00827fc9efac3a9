// Changes one field of one contact through the card's record set, as
// "Modificar" then "Guardar" do, and prints what the card would show.
//
//   orv_savechild BOOK CODE FIELD VALUE

#include <cstdio>
#include <string>

#include "store/engine.h"

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    try {
        auto db = orv::Database::open(argv[1]);
        auto rs = db->openRecordset("Registros");
        if (!rs->FindCode(std::stoll(argv[2]))) return 3;
        rs->Edit();
        std::vector<std::optional<orv::Value>> values(rs->fieldNames().size());
        values[static_cast<std::size_t>(rs->fieldIndex(argv[3]))] = orv::Value(argv[4]);
        rs->Update(values);
    } catch (const orv::EngineError& e) {
        std::fprintf(stderr, "Error %d: %s\n", e.number(), e.what());
        return 1;
    }
    return 0;
}
