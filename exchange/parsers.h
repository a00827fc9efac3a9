#pragma once
// The readers of each format, fed one physical line at a time (see
// stream.h), each holding no more than the record it is reading.

#include <memory>
#include <vector>

#include "exchange/card.h"
#include "exchange/stream.h"

namespace orv::exchange {

struct CardResult;

class LineParser {
  public:
    virtual ~LineParser() = default;
    virtual void line(const LineReader::Line& l) = 0;
    virtual void finish() = 0;
};

// The "line N ... over the limit" problems, worded once.
std::string lineTooLong(long number);
std::string recordTooLarge(const char* what);

// vCard; `first`, when given, receives the first card's whole result.
std::unique_ptr<LineParser> vcardParser(Reading& out, CardResult* first = nullptr);
std::unique_ptr<LineParser> ldifParser(Reading& out);
std::unique_ptr<LineParser> abookParser(Reading& out);

// What a CSV file's date columns say of their order: whether any date in
// each can only be day first, only month first, or either. Gathered by a
// first reading (`survey`), used by the second.
struct CsvSurvey {
    struct Votes {
        bool dayFirst = false, monthFirst = false, either = false;
    };
    std::vector<Votes> columns;
    bool done = false;
};
std::unique_ptr<LineParser> csvParser(Reading& out, CsvSurvey& survey);

}  // namespace orv::exchange
