// The injection command's arguments: the tokenizer and the parser of the text rundll32 hands
// to InjectFilter (hardware id, service, and switches such as -add, -remove, -before NAME).
#pragma once

#include <string>
#include <vector>

namespace ovtm::inject {

// The status every argument error reports (the value of ERROR_INVALID_PARAMETER).
inline constexpr unsigned long kArgumentError = 87;
inline constexpr unsigned long kArgumentsOk = 0;

// Where the add modes put the service in the lower filter list, or remove mode.
enum class InjectMode { Add = 0, Last = 1, Before = 2, After = 3, Remove = 4 };

struct InjectArguments {
    std::string hardwareId; // matched against a device's friendly name, description, ...
    std::string service;    // the filter service name
    std::string reference;  // the operand of -before/-after; the service in remove mode
    InjectMode mode = InjectMode::Add;
};

// Splits line in place into tokens separated by spaces and tabs; a token that begins with a
// double quote runs to the next double quote (or the end) and keeps its blanks. The pointers
// point into line.
std::vector<char*> SplitArguments(char* line);

// Interprets the tokens; switch tokens are lower-cased in place. Returns kArgumentsOk or
// kArgumentError, in which case arguments must not be used. An empty hardware id, an empty
// service or a service with '\\' or '/' in it is an argument error.
unsigned long ParseArguments(const std::vector<char*>& tokens, InjectArguments& arguments);

// Both steps on a private copy of commandLine (which may be null).
unsigned long ParseCommandLine(const char* commandLine, InjectArguments& arguments);

} // namespace ovtm::inject
