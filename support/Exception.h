#pragma once
// The root of every exception the program raises; it carries the message shown to the user.

#include <exception>
#include <string>
#include <utility>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// An input/output operation failed (for example a directory could not be made).
class EInOutError : public Exception {
public:
    using Exception::Exception;
};

// A text that should have been a number was not.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};
