#pragma once
// An import as the import window runs it, in its task's thread: the file
// read and checked, then read again through the importer (a dry run only
// looks), as orvane-db import does, on the same library.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <map>
#include <string>

#include "exchange/card.h"

namespace orv::ui::desk {

class Task;

struct ImportSummary {
    bool dryRun = true;
    qint64 size = 0;           // bytes of the file
    qint64 contacts = 0;       // readable contacts in the file
    qint64 fresh = 0;          // written (or that would be)
    qint64 duplicates = 0;     // equal to one in the book: left out
    qint64 lookalikes = 0;     // the same name: written
    qint64 groups = 0;         // group cards left out
    qint64 problems = 0;       // records that cannot be read
    QStringList problemLines;  // the first few, "línea 12: …"
    QStringList lines;         // what each contact does, the first few hundred
    exchange::Fates fates;     // where each property goes
    QString assumedOrder;      // how ambiguous dates were read
    QString copy;              // the copy of the book kept first
    qint64 startedMs = 0;      // the moment before the import wrote
};

// Reads `file` into `book`: a dry run writes nothing; otherwise every
// readable contact is written in one transaction (records that cannot be
// read are left out only when `skipBad`, else nothing is written). Reports
// progress in bytes to `task` and stops (nothing written) when it is
// cancelled. Throws a runtime_error in Spanish for a file it cannot read.
ImportSummary importFile(Task& task, const QString& book, const QString& file, bool dryRun,
                         bool skipBad);

}  // namespace orv::ui::desk
