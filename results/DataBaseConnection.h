#pragma once
// Where the host database is. The plug-in holds one for as long as it is loaded and hands it to
// whatever reads the database.
//
// The shell, when the host reports that all modules are loaded and offers "DB/GetConnectionUri",
// hands over the host's text:
//     database.setConnectionUri(hostText);   // copied; null means "none"
// Readers take it when they open a connection:
//     DataBase::SqlDatabase db;
//     db.open(database.connectionUri());
// A reader that runs before the shell gave a text finds no location; the open then gives a
// private temporary database (empty, so the first query fails with "no such table").
#include <mutex>
#include <optional>
#include <string>

class DataBaseConnection {
public:
    // Without a location.
    DataBaseConnection() = default;
    virtual ~DataBaseConnection();
    DataBaseConnection(const DataBaseConnection&) = delete;
    DataBaseConnection& operator=(const DataBaseConnection&) = delete;

    // Replaces the location by a copy of the zero-terminated text. A null pointer removes the
    // location (connections then open a temporary database); an empty text is a location (an
    // empty file name, which SQLite also treats as a temporary database). Thread-safe.
    void setConnectionUri(const char16_t* text);

    // A copy of the current location, or nothing while no text was given. Thread-safe.
    std::optional<std::u16string> connectionUri() const;

private:
    mutable std::mutex mutex_;
    std::optional<std::u16string> connectionUri_;
};
