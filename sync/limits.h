#pragma once
// What a sync takes from a server at most. Whatever a server sends is read
// against these while it arrives, so that no answer can make a sync crash,
// run out of memory or run for ever; each limit reached is named in Spanish
// in the message that stops the sync or in its report.

#include <QString>
#include <QtGlobal>

namespace orv::sync {

struct DavLimits {
    // An answer that is no card: a listing, a discovery step, a write's answer.
    qint64 answerBytes = 64LL << 20;
    // One card (its vCard text); a larger one is left out and named.
    qint64 cardBytes = 4LL << 20;
    // The cards one sync fetches, together; the rest wait for the next sync.
    qint64 syncCardBytes = 256LL << 20;
    // One href, ETag, token or name inside an answer.
    qint64 fieldBytes = 4LL << 10;
    // Cards in a listing of the address book.
    int members = 100000;
    // Elements nested in an answer.
    int depth = 64;
    // Answers in parts (sync-collection's 507) one listing may take.
    int rounds = 1000;
    // One request, from sending it to the last byte of its answer.
    int requestMs = 120000;
    // A whole sync, every request of it together.
    int syncMs = 20 * 60000;
};

// "64 MiB", "4 KiB", "100 000 tarjetas": a limit as messages name it.
QString bytesText(qint64 bytes);

}  // namespace orv::sync
