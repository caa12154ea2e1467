// The injection command's tokenizer and parser (see command_line.h).
#include "command_line.h"

#include "text_compare.h"

#include <algorithm>
#include <cstring>

namespace ovtm::inject {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// A switch matches a keyword when their common prefix, as long as the shorter of the two,
// agrees: "-l" and "-lowerxyz" both mean "lower", and a bare "-" matches the first one tried.
bool SwitchMatches(const char* text, size_t length, const char* keyword) {
    return std::strncmp(text, keyword, std::min(length, std::strlen(keyword))) == 0;
}

} // namespace

std::vector<char*> SplitArguments(char* line) {
    std::vector<char*> tokens;
    char* at = line;
    for (;;) {
        while (IsBlank(*at)) {
            ++at;
        }
        if (*at == '\0') {
            return tokens;
        }
        if (*at == '"') {
            char* start = at + 1;
            char* closing = std::strchr(start, '"');
            tokens.push_back(start);
            if (closing == nullptr) {
                return tokens;
            }
            *closing = '\0';
            at = closing + 1; // whatever follows the quote starts the next token
            continue;
        }
        tokens.push_back(at);
        while (*at != '\0' && !IsBlank(*at)) {
            ++at;
        }
        if (*at == '\0') {
            return tokens;
        }
        *at++ = '\0';
    }
}

unsigned long ParseArguments(const std::vector<char*>& tokens, InjectArguments& arguments) {
    arguments = InjectArguments{};
    bool haveHardwareId = false;
    bool haveService = false;
    for (size_t index = 0; index < tokens.size(); ++index) {
        char* token = tokens[index];
        if (token[0] != '-' && token[0] != '/') {
            if (!haveHardwareId) {
                arguments.hardwareId = token;
                haveHardwareId = true;
            } else if (!haveService) {
                arguments.service = token;
                haveService = true;
            } else {
                return kArgumentError;
            }
            continue;
        }

        char* keyword = token + 1;
        const size_t length = std::strlen(keyword);
        std::transform(keyword, keyword + length, keyword, LowerAscii);
        // The order decides abbreviations: -a is add, -af after, -la last, -r remove.
        if (SwitchMatches(keyword, length, "lower")) {
            continue; // the only list there is
        }
        if (SwitchMatches(keyword, length, "first")) {
            arguments.mode = InjectMode::Add;
        } else if (SwitchMatches(keyword, length, "last")) {
            arguments.mode = InjectMode::Last;
        } else if (SwitchMatches(keyword, length, "add")) {
            arguments.mode = InjectMode::Add;
        } else if (SwitchMatches(keyword, length, "remove")) {
            arguments.mode = InjectMode::Remove;
        } else {
            // Every other switch takes the next token as its operand, whatever it looks like.
            if (index + 1 == tokens.size()) {
                return kArgumentError;
            }
            arguments.reference = tokens[++index];
            if (SwitchMatches(keyword, length, "before")) {
                arguments.mode = InjectMode::Before;
            } else if (SwitchMatches(keyword, length, "after")) {
                arguments.mode = InjectMode::After;
            } else {
                return kArgumentError;
            }
        }
    }
    if (!haveHardwareId || !haveService) {
        return kArgumentError;
    }
    // An empty id would match every device with an empty name; a service name is a registry
    // key's name and a file's, so a path separator can only aim elsewhere.
    if (arguments.hardwareId.empty() || arguments.service.empty() ||
        arguments.service.find_first_of("\\/") != std::string::npos) {
        return kArgumentError;
    }
    if (arguments.mode == InjectMode::Remove) {
        arguments.reference = arguments.service;
    }
    return kArgumentsOk;
}

unsigned long ParseCommandLine(const char* commandLine, InjectArguments& arguments) {
    std::vector<char> copy;
    if (commandLine != nullptr) {
        copy.assign(commandLine, commandLine + std::strlen(commandLine));
    }
    copy.push_back('\0');
    return ParseArguments(SplitArguments(copy.data()), arguments);
}

} // namespace ovtm::inject
