#pragma once
// A field's value and the errors the store throws: what every caller of the
// store needs, without the engine's record sets.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orv {

// A field's value: nullopt is a null. Texts are UTF-8; dates are stored as
// ISO text YYYY-MM-DD; Codigo as its decimal text.
using Value = std::optional<std::string>;

// Error numbers. The fatal ones are the file or its table that cannot be
// opened: the program shows them and ends.
enum ErrorNumber : int {
    kErrFileNotFound = 3001,     // the database file does not exist
    kErrNotADatabase = 3002,     // the file is not an SQLite database (or cannot be read)
    kErrTableNotFound = 3003,    // no table Registros
    kErrFieldNotFound = 3004,    // Registros lacks one of its columns
    kErrFileExists = 3005,       // create: the file is already there
    kErrTableShape = 3006,       // Registros whose Codigo is not its integer key
    kErrInvalidPattern = 3010,   // unclosed "[" or descending range
    kErrInvalidQuery = 3011,     // a query text the engine does not understand
    kErrNoCurrentRecord = 3020,  // Edit/Delete/Update with no current row
    kErrNoPendingChange = 3021,  // Update/CancelUpdate without AddNew/Edit
    kErrDiskFull = 3030,
    kErrReadOnly = 3031,
    kErrLocked = 3032,
    kErrConstraint = 3033,
    kErrCorrupt = 3034,
    kErrDiskIO = 3035,  // the disk failed a read, a write or a sync
    kErrNoMemory = 3036,
    kErrTooBig = 3037,
    kErrRecordDeleted = 3167,  // the row was deleted by another writer meanwhile
    kErrDataChanged = 3197,    // another writer changed what the caller last read
    kErrEngine = 3099,         // any other SQLite failure, said in Spanish
};

class EngineError : public std::runtime_error {
  public:
    EngineError(int number, const std::string& text, bool fatal = false)
        : std::runtime_error(text), number_(number), fatal_(fatal) {}
    int number() const { return number_; }
    std::string text() const { return what(); }
    // The file or the table cannot be opened: the program cannot go on.
    bool fatal() const { return fatal_; }

  private:
    int number_;
    bool fatal_;
};

// Another writer changed the row since the caller last read it (at Edit, or
// at the last such error): the fields in conflict and what they hold now. The
// record set has taken the row as it is now as its new reading, so the same
// Update again stores over those values, unless they change once more.
class DataChangedError : public EngineError {
  public:
    struct Field {
        std::string name;
        Value theirs;
    };
    explicit DataChangedError(std::vector<Field> fields)
        : EngineError(kErrDataChanged, "Otro programa ha cambiado los datos mientras tanto."),
          fields_(std::move(fields)) {}
    const std::vector<Field>& fields() const { return fields_; }

  private:
    std::vector<Field> fields_;
};

}  // namespace orv
