// Syncs a book and kills itself (SIGKILL: nothing cleaned up, nothing
// flushed) at the named point of the sync, so that its parent can check
// what a sync cut off there leaves behind.
//
//   orv_syncchild BOOK URL USER POINT   (the password in ORVANE_CARDDAV_PASSWORD)

#include <QCoreApplication>
#include <csignal>
#include <string>

#include "store/engine.h"
#include "sync/engine.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 5) return 2;
    auto db = orv::Database::open(argv[1]);
    orv::sync::SyncOptions o;
    o.dav.collection = QUrl(QString::fromLocal8Bit(argv[2]));
    o.dav.user = QString::fromLocal8Bit(argv[3]);
    o.dav.password = qEnvironmentVariable("ORVANE_CARDDAV_PASSWORD");
    const std::string point = argv[4];
    o.checkpoint = [&](const char* at) {
        if (point == at) std::raise(SIGKILL);
    };
    return orv::sync::syncBook(db->handle(), o).complete() ? 0 : 1;
}
