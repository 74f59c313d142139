#pragma once
#include <exception>
#include <string>

namespace Orb {

// Base of the exceptions raised by the object model.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : mMessage(std::move(message)) {}
    const char* what() const noexcept override { return mMessage.c_str(); }

private:
    std::string mMessage;
};

// Raised when an empty interface holder is used.
class NullInterfaceException : public Exception {
public:
    NullInterfaceException() : Exception("A NULL interface pointer has been dereferenced.") {}
};

}  // namespace Orb
