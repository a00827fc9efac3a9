#include "sync/guard.h"

namespace orv::sync {

namespace {

bool tooMany(std::size_t deleted, std::size_t of) {
    return deleted > 0 && (deleted >= of || (deleted * 2 > of && deleted > kFewDeletions));
}

std::string contacts(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " contacto" : " contactos");
}

}  // namespace

std::optional<std::string> tooManyDeletions(const PlannedDeletions& p) {
    std::string why;
    if (tooMany(p.here, p.bookContacts) || (p.serverNew && p.here > 0)) {
        why = "borraría " + contacts(p.here) + " de los " + std::to_string(p.bookContacts) +
              " de esta agenda (" +
              (p.serverNew ? "la libreta del servidor es nueva: se borró y se hizo de nuevo"
                           : "la libreta del servidor se ha vaciado o sustituido") +
              ")";
    }
    if (tooMany(p.there, p.serverContacts)) {
        why += (why.empty() ? "borraría " : " y ") + contacts(p.there) + " de los " +
               std::to_string(p.serverContacts) + " del servidor (esta agenda se ha vaciado)";
    }
    if (why.empty()) return std::nullopt;
    return why;
}

std::optional<std::string> refusal(const PlannedDeletions& p) {
    const std::optional<std::string> why = tooManyDeletions(p);
    if (!why) return std::nullopt;
    return *why +
           "; no se ha cambiado nada en ningún lado. Si de verdad hay que borrarlos, repita con "
           "--allow-deletions";
}

}  // namespace orv::sync
