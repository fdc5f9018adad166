#pragma once
// The programs' start-up error: built from a string-table id, carrying the id and its text.

#include <corekit/corekit.h>

#include <stdexcept>

class cmn_err : public std::runtime_error {
public:
    /// Loads the text of id from the string table.
    explicit cmn_err(int id);
    int id() const { return id_; }
    const UnicodeString &text() const { return text_; }

private:
    int id_;
    UnicodeString text_;
};
