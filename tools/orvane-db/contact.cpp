#include "tools/orvane-db/contact.h"

namespace orv::db {

std::string duplicateKey(const Value& nombre, const Value& apellido, const Value& fecha) {
    // Each part tagged, so a null never equals an empty string and no choice
    // of texts can make two different triples meet.
    std::string key;
    for (const Value* v : {&nombre, &apellido, &fecha}) {
        if (!*v) {
            key += '\x01';
            continue;
        }
        key += '\x02';
        key += std::to_string((*v)->size());
        key += ':';
        key += **v;
    }
    return key;
}

}  // namespace orv::db
