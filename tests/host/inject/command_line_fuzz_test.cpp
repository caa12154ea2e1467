// Random command lines (tokens, quotes, switches, blanks, stray bytes, several KiB long) through
// the tokenizer and parser: only the defined outcomes, and an accepted line means what its
// canonical spelling means. Run under ASan, this also proves nothing is read or written past
// the line.
#include "command_line.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace ovtm::inject;

namespace {

class LineGenerator {
  public:
    explicit LineGenerator(unsigned seed) : random_(seed) {}

    std::string Line() {
        std::string line;
        const int tokens = Pick(0, 8);
        for (int i = 0; i < tokens; ++i) {
            line += Separator();
            line += Token();
        }
        if (Pick(0, 3) == 0) {
            line += Separator();
        }
        return line;
    }

  private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    std::string Separator() {
        static const char* const kSeparators[] = {"", " ", "\t", "  ", " \t ", "\t\t"};
        return kSeparators[Pick(0, 5)];
    }

    std::string Word(int maxLength) {
        static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789&\\_.#-/\"'\x80\xE9\xFF";
        std::string word;
        const int length = Pick(0, maxLength);
        for (int i = 0; i < length; ++i) {
            word += kAlphabet[Pick(0, sizeof(kAlphabet) - 2)];
        }
        return word;
    }

    std::string Switch() {
        static const char* const kKeywords[] = {
            "add", "remove", "first", "last", "before", "after", "lower", "upper",    "a",
            "af",  "la",     "b",     "r",    "l",      "",      "AFTER", "Lowerxyz", "x"};
        std::string keyword = kKeywords[Pick(0, 17)];
        return std::string(1, Pick(0, 1) ? '-' : '/') + keyword;
    }

    std::string Token() {
        switch (Pick(0, 9)) {
        case 0:
        case 1:
        case 2:
            return Switch();
        case 3:
            return "\"" + Word(12) + " " + Word(6) + "\"";
        case 4:
            return "\"" + Word(10); // unclosed
        case 5:
            return std::string(static_cast<size_t>(Pick(512, 4096)), 'k'); // long
        case 6:
            return "\"" + Word(4) + "\"" + Word(4); // glued to the quote
        default:
            return Word(20);
        }
    }

    std::mt19937 random_;
};

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

const char* ModeSwitch(InjectMode mode) {
    switch (mode) {
    case InjectMode::Add:
        return "-add";
    case InjectMode::Last:
        return "-last";
    case InjectMode::Before:
        return "-before";
    case InjectMode::After:
        return "-after";
    case InjectMode::Remove:
        return "-remove";
    }
    return "?";
}

} // namespace

TEST(CommandLineFuzz, OnlyDefinedOutcomesAndStableMeaning) {
    LineGenerator generator(20261207);
    int accepted = 0;
    int rejected = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::string line = generator.Line();
        InjectArguments arguments;
        const unsigned long status = ParseCommandLine(line.c_str(), arguments);
        ASSERT_TRUE(status == kArgumentsOk || status == kArgumentError) << line;
        if (status == kArgumentError) {
            ++rejected;
            continue;
        }
        ++accepted;
        ASSERT_GE(static_cast<int>(arguments.mode), 0) << line;
        ASSERT_LE(static_cast<int>(arguments.mode), 4) << line;
        if (arguments.mode == InjectMode::Remove) {
            ASSERT_EQ(arguments.reference, arguments.service) << line;
        }

        // A trailing -lower changes nothing.
        InjectArguments withLower;
        ASSERT_EQ(ParseCommandLine((line + " -lower").c_str(), withLower), kArgumentsOk) << line;
        ASSERT_EQ(withLower.hardwareId, arguments.hardwareId) << line;
        ASSERT_EQ(withLower.mode, arguments.mode) << line;

        // The canonical spelling of what was understood is understood the same way.
        const std::string all = arguments.hardwareId + arguments.service + arguments.reference;
        if (all.find('"') != std::string::npos) {
            continue;
        }
        std::string canonical = Quoted(arguments.hardwareId) + " " + Quoted(arguments.service);
        if (arguments.mode == InjectMode::Before || arguments.mode == InjectMode::After) {
            canonical +=
                std::string(" ") + ModeSwitch(arguments.mode) + " " + Quoted(arguments.reference);
        } else {
            canonical += std::string(" ") + ModeSwitch(arguments.mode);
        }
        InjectArguments again;
        ASSERT_EQ(ParseCommandLine(canonical.c_str(), again), kArgumentsOk) << canonical;
        EXPECT_EQ(again.hardwareId, arguments.hardwareId) << line;
        EXPECT_EQ(again.service, arguments.service) << line;
        EXPECT_EQ(again.mode, arguments.mode) << line;
        if (arguments.mode != InjectMode::Add && arguments.mode != InjectMode::Last) {
            EXPECT_EQ(again.reference, arguments.reference) << line;
        }
    }
    // Both outcomes must actually be exercised for the run to mean anything.
    EXPECT_GT(accepted, 1000);
    EXPECT_GT(rejected, 1000);
}
