// CSV text split into records: quotes, doubled quotes, line breaks inside
// quotes, CRLF or LF, a record that cannot be read.

#include "exchange/csv.h"

namespace orv::exchange {

CsvReader::CsvReader(std::string_view text, char delimiter, long firstLine)
    : text_(text), delim_(delimiter), line_(firstLine) {}

bool CsvReader::next(CsvRecord& record, std::string& error) {
    const std::size_t n = text_.size();
    // Skip blank lines between records.
    while (pos_ < n && (text_[pos_] == '\n' || text_[pos_] == '\r')) {
        if (text_[pos_] == '\r' && pos_ + 1 < n && text_[pos_ + 1] == '\n') ++pos_;
        ++pos_;
        ++line_;
    }
    if (pos_ >= n) return false;

    record.fields.clear();
    record.line = line_;
    error.clear();
    auto endOfLine = [&]() {
        if (pos_ < n && text_[pos_] == '\r') ++pos_;
        if (pos_ < n && text_[pos_] == '\n') ++pos_;
        ++line_;
    };
    auto skipToNextLine = [&]() {
        while (pos_ < n && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
        if (pos_ < n) endOfLine();
    };

    for (;;) {
        if (pos_ < n && text_[pos_] == '"') {
            std::string value;
            ++pos_;
            for (;;) {
                std::size_t q = text_.find('"', pos_);
                if (q == std::string_view::npos) {
                    error = "comillas sin cerrar";
                    pos_ = n;
                    return true;
                }
                for (std::size_t i = pos_; i < q; ++i)
                    if (text_[i] == '\n' ||
                        (text_[i] == '\r' && (i + 1 >= n || text_[i + 1] != '\n')))
                        ++line_;
                value.append(text_.substr(pos_, q - pos_));
                pos_ = q + 1;
                if (pos_ < n && text_[pos_] == '"') {
                    value += '"';
                    ++pos_;
                    continue;
                }
                break;
            }
            record.fields.emplace_back(std::move(value));
            if (pos_ < n && text_[pos_] != delim_ && text_[pos_] != '\r' && text_[pos_] != '\n') {
                error = "texto tras unas comillas de cierre";
                skipToNextLine();
                return true;
            }
        } else {
            std::size_t start = pos_;
            while (pos_ < n && text_[pos_] != delim_ && text_[pos_] != '\r' && text_[pos_] != '\n')
                ++pos_;
            if (pos_ == start)
                record.fields.emplace_back(std::nullopt);
            else
                record.fields.emplace_back(std::string(text_.substr(start, pos_ - start)));
        }
        if (pos_ < n && text_[pos_] == delim_) {
            ++pos_;
            continue;
        }
        if (pos_ < n) endOfLine();
        return true;
    }
}

}  // namespace orv::exchange
