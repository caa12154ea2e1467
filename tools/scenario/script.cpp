// Parser of the scenario language: verbs, client names, numbers and hex byte lists.
#include "script.h"

#include <cctype>
#include <sstream>

namespace scenario {
namespace {

struct VerbName {
    const char* name;
    Verb verb;
};

constexpr VerbName kVerbs[] = {
    {"open", Verb::Open},        {"close", Verb::Close},     {"read", Verb::Read},
    {"cancel", Verb::Cancel},    {"capture", Verb::Capture}, {"release-all", Verb::ReleaseAll},
    {"ioctl", Verb::Ioctl},      {"press", Verb::Press},     {"release", Verb::Release},
    {"key-down", Verb::KeyDown}, {"key-up", Verb::KeyUp},    {"report", Verb::Report},
    {"wait", Verb::Wait},        {"say", Verb::Say},         {"plug", Verb::Plug},
    {"unplug", Verb::Unplug},    {"answer", Verb::Answer},   {"keyboard", Verb::Keyboard},
    {"stop", Verb::Stop},        {"start", Verb::Start},     {"disable", Verb::Disable},
};

constexpr const char* kOneInterface = "one-interface";
constexpr const char* kTwoInterfaces = "two-interfaces";

// Reads a decimal or 0x-prefixed hexadecimal number that fits in 32 bits.
bool ParseNumber(const std::string& word, uint32_t& value) {
    if (word.empty())
        return false;
    int base = 10;
    size_t start = 0;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t result = 0;
    for (size_t i = start; i < word.size(); ++i) {
        int digit;
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(word[i])));
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return false;
        }
        result = result * base + digit;
        if (result > 0xFFFFFFFFu)
            return false;
    }
    value = static_cast<uint32_t>(result);
    return true;
}

bool ParseHexByte(const std::string& word, uint8_t& value) {
    uint32_t v;
    std::string digits = word;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 2 || !ParseNumber("0x" + digits, v))
        return false;
    value = static_cast<uint8_t>(v);
    return true;
}

class LineParser {
  public:
    LineParser(int line, std::vector<std::string> words) : line_(line), words_(std::move(words)) {}

    bool Parse(Step& step, std::string& error) {
        step.line = line_;
        const std::string& verbWord = words_[0];
        bool known = false;
        for (const auto& v : kVerbs) {
            if (verbWord == v.name) {
                step.verb = v.verb;
                known = true;
            }
        }
        if (!known)
            return Fail(error, "unknown step '" + verbWord + "'");
        switch (step.verb) {
        case Verb::Open:
            step.fourth = kDefaultControlDevice;
            return Client(step, error) &&
                   OptionalNumber(2, step.fourth, "control-device number", error) &&
                   AtMost(step.fourth, kHighestControlDevice, "control-device number", error) &&
                   End(3, error);
        case Verb::Close:
        case Verb::Cancel:
        case Verb::ReleaseAll:
            return Client(step, error) && End(2, error);
        case Verb::Read:
            step.number = kDefaultReadLength;
            return Client(step, error) && OptionalNumber(2, step.number, "length", error) &&
                   AtMost(step.number, kMaxBufferLength, "length", error) && End(3, error);
        case Verb::Capture:
            return Client(step, error) && CaptureOperation(step, error) && End(3, error);
        case Verb::Ioctl:
            return Client(step, error) && Ioctl(step, error);
        case Verb::Press:
        case Verb::Release:
            if (words_.size() < 2)
                return Fail(error, "name at least one button");
            step.names.assign(words_.begin() + 1, words_.end());
            return true;
        case Verb::KeyDown:
        case Verb::KeyUp:
            step.second = kDefaultVelocity;
            return RequiredNumber(1, step.number, "music key", error) &&
                   AtMost(step.number, kHighestMusicKey, "music key", error) &&
                   OptionalNumber(2, step.second, "velocity", error) &&
                   AtMost(step.second, kHighestVelocity, "velocity", error) && End(3, error);
        case Verb::Report:
            if (words_.size() < 2)
                return Fail(error, "give the report's bytes in hex");
            if (!Bytes(1, words_.size(), step.bytes, error))
                return false;
            if (step.bytes.size() > kMaxReportLength) {
                return Fail(error,
                            "a report has at most " + std::to_string(kMaxReportLength) + " bytes");
            }
            return true;
        case Verb::Wait:
            return RequiredNumber(1, step.number, "milliseconds", error) &&
                   AtMost(step.number, kMaxWaitMs, "milliseconds", error) && End(2, error);
        case Verb::Plug:
            return Plug(step, error);
        case Verb::Answer:
            step.fourth = kDefaultAnswerDelayMs;
            if (!RequiredNumber(1, step.number, "command", error) ||
                !AtMost(step.number, 0xFF, "command", error)) {
                return false;
            }
            if (words_.size() > 2 && words_[2] == "none") {
                step.none = true;
                return End(3, error);
            }
            if (!RequiredNumber(2, step.second, "answer", error))
                return false;
            if (words_.size() > 3) {
                if (words_[3] != "after")
                    return Fail(error, "expected 'after', found '" + words_[3] + "'");
                if (!RequiredNumber(4, step.fourth, "delay", error) ||
                    !AtMost(step.fourth, kMaxWaitMs, "delay", error)) {
                    return false;
                }
                if (step.fourth == 0)
                    return Fail(error, "a keyboard answers 1 ms after the command at the soonest");
            }
            return End(5, error);
        case Verb::Unplug:
        case Verb::Stop:
        case Verb::Start:
        case Verb::Disable:
            if (words_.size() > 1)
                step.keyboard = words_[1];
            return End(2, error);
        case Verb::Keyboard:
            if (words_.size() < 2)
                return Fail(error, "name the keyboard");
            step.keyboard = words_[1];
            return End(2, error);
        case Verb::Say:
            for (size_t i = 1; i < words_.size(); ++i) {
                step.text += (i > 1 ? " " : "") + words_[i];
            }
            return true;
        }
        return Fail(error, "unhandled step");
    }

  private:
    // plug [<keyboard>] [<vendor> <product> [revision]] [one-interface|two-interfaces]
    bool Plug(Step& step, std::string& error) {
        step.number = kDefaultVendorId;
        step.second = kDefaultProductId;
        step.third = kDefaultRevision;
        size_t first = 1;
        uint32_t ignored;
        if (words_.size() > 1 && !ParseNumber(words_[1], ignored) && words_[1] != kOneInterface &&
            words_[1] != kTwoInterfaces) {
            step.keyboard = words_[1];
            first = 2;
        }
        size_t end = words_.size();
        if (end > first &&
            (words_[end - 1] == kOneInterface || words_[end - 1] == kTwoInterfaces)) {
            step.singleInterface = words_[end - 1] == kOneInterface;
            --end;
        }
        size_t numbers = end - first;
        if (numbers == 1)
            return Fail(error, "give both the vendor and the product id");
        if (numbers > 3)
            return Fail(error, "unexpected '" + words_[first + 3] + "'");
        return OptionalNumberBefore(first, end, step.number, "vendor id", error) &&
               AtMost(step.number, 0xFFFF, "vendor id", error) &&
               OptionalNumberBefore(first + 1, end, step.second, "product id", error) &&
               AtMost(step.second, 0xFFFF, "product id", error) &&
               OptionalNumberBefore(first + 2, end, step.third, "revision", error) &&
               AtMost(step.third, 0xFFFF, "revision", error);
    }
    bool OptionalNumberBefore(size_t index, size_t end, uint32_t& value, const char* what,
                              std::string& error) {
        return index >= end || RequiredNumber(index, value, what, error);
    }
    bool Fail(std::string& error, const std::string& what) {
        error = "line " + std::to_string(line_) + ": " + what;
        return false;
    }
    bool Client(Step& step, std::string& error) {
        if (words_.size() < 2)
            return Fail(error, "name the client");
        step.client = words_[1];
        return true;
    }
    bool End(size_t count, std::string& error) {
        if (words_.size() > count)
            return Fail(error, "unexpected '" + words_[count] + "'");
        return true;
    }
    bool RequiredNumber(size_t index, uint32_t& value, const char* what, std::string& error) {
        if (words_.size() <= index)
            return Fail(error, std::string("missing ") + what);
        if (!ParseNumber(words_[index], value)) {
            return Fail(error, std::string("bad ") + what + " '" + words_[index] + "'");
        }
        return true;
    }
    bool OptionalNumber(size_t index, uint32_t& value, const char* what, std::string& error) {
        return words_.size() <= index || RequiredNumber(index, value, what, error);
    }
    bool AtMost(uint32_t value, uint32_t highest, const char* what, std::string& error) {
        if (value <= highest)
            return true;
        return Fail(error, std::string(what) + " " + std::to_string(value) + " is above " +
                               std::to_string(highest));
    }
    // Hex bytes; <byte>*<count> stands for the byte repeated (7F*128).
    bool Bytes(size_t from, size_t to, std::vector<uint8_t>& bytes, std::string& error) {
        for (size_t i = from; i < to; ++i) {
            std::string word = words_[i];
            uint32_t count = 1;
            if (size_t star = word.find('*'); star != std::string::npos) {
                if (!ParseNumber(word.substr(star + 1), count) || count == 0)
                    return Fail(error, "bad repeat count in '" + words_[i] + "'");
                word.erase(star);
            }
            uint8_t b;
            if (!ParseHexByte(word, b))
                return Fail(error, "bad byte '" + words_[i] + "'");
            if (count > kMaxBufferLength - bytes.size()) {
                return Fail(error, "more than " + std::to_string(kMaxBufferLength) + " bytes");
            }
            bytes.insert(bytes.end(), count, b);
        }
        return true;
    }
    bool CaptureOperation(Step& step, std::string& error) {
        if (words_.size() < 3)
            return Fail(error, "say acquire or release");
        if (words_[2] == "acquire") {
            step.number = 1;
        } else if (words_[2] == "release") {
            step.number = 2;
        } else if (!ParseNumber(words_[2], step.number) || step.number > 0xFF) {
            return Fail(error, "bad capture operation '" + words_[2] + "'");
        }
        return true;
    }
    // ioctl <client> <code> [in <hex bytes>...] [out <length>]
    bool Ioctl(Step& step, std::string& error) {
        if (!RequiredNumber(2, step.number, "control code", error))
            return false;
        size_t i = 3;
        while (i < words_.size()) {
            if (words_[i] == "in") {
                size_t end = i + 1;
                while (end < words_.size() && words_[end] != "out")
                    ++end;
                step.hasInput = true;
                if (!Bytes(i + 1, end, step.bytes, error))
                    return false;
                i = end;
            } else if (words_[i] == "out") {
                if (!RequiredNumber(i + 1, step.second, "output length", error) ||
                    !AtMost(step.second, kMaxBufferLength, "output length", error)) {
                    return false;
                }
                i += 2;
                if (i < words_.size() && words_[i] == "with") {
                    size_t end = i + 1;
                    while (end < words_.size() && words_[end] != "in")
                        ++end;
                    if (!Bytes(i + 1, end, step.outputBytes, error))
                        return false;
                    if (step.outputBytes.size() > step.second) {
                        return Fail(error, "more bytes than the output buffer's " +
                                               std::to_string(step.second));
                    }
                    i = end;
                }
            } else {
                return Fail(error, "expected 'in' or 'out', found '" + words_[i] + "'");
            }
        }
        return true;
    }

    int line_;
    std::vector<std::string> words_;
};

} // namespace

ParseResult ParseScript(const std::string& text) {
    ParseResult result;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        std::istringstream wordStream(line);
        std::vector<std::string> words;
        for (std::string w; wordStream >> w;)
            words.push_back(w);
        if (words.empty())
            continue;
        Step step;
        if (!LineParser(number, std::move(words)).Parse(step, result.error)) {
            result.steps.clear();
            return result;
        }
        result.steps.push_back(std::move(step));
    }
    return result;
}

} // namespace scenario
