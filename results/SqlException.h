#pragma once
// The one way in which a failure of the host database is reported.
#include <exception>
#include <string>

namespace DataBase {

class SqlException : public std::exception {
public:
    // message: SQLite's text (UTF-8); sql: the failing statement's text, empty when the failure
    // did not concern a statement; code: the SQLite result code of the failing call.
    SqlException(std::string message, std::string sql, int code);
    ~SqlException() override;

    const char* what() const noexcept override;
    int code() const noexcept { return code_; }
    const std::string& sql() const noexcept { return sql_; }

private:
    std::string message_;
    int code_;
    std::string sql_;
};

}  // namespace DataBase
