// The injection command line as rundll32 passes it: tokens, switches and their abbreviations,
// operands, and every argument error.
#include "command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace ovtm::inject;

namespace {

std::vector<std::string> Tokens(std::string line) {
    std::vector<std::string> tokens;
    for (char* token : SplitArguments(line.data())) {
        tokens.emplace_back(token);
    }
    return tokens;
}

std::optional<InjectArguments> Parse(const std::string& line) {
    InjectArguments arguments;
    unsigned long status = ParseCommandLine(line.c_str(), arguments);
    if (status == kArgumentError) {
        return std::nullopt;
    }
    EXPECT_EQ(status, kArgumentsOk);
    return arguments;
}

void ExpectParsed(const std::string& line, const std::string& hardwareId,
                  const std::string& service, InjectMode mode, const std::string& reference) {
    SCOPED_TRACE(line);
    auto arguments = Parse(line);
    ASSERT_TRUE(arguments);
    EXPECT_EQ(arguments->hardwareId, hardwareId);
    EXPECT_EQ(arguments->service, service);
    EXPECT_EQ(arguments->mode, mode);
    EXPECT_EQ(arguments->reference, reference);
}

using Strings = std::vector<std::string>;

} // namespace

TEST(SplitArguments, SeparatesOnRunsOfSpacesAndTabs) {
    EXPECT_EQ(Tokens("  a\t\tb  \t c  "), (Strings{"a", "b", "c"}));
    EXPECT_EQ(Tokens(""), Strings{});
    EXPECT_EQ(Tokens(" \t  "), Strings{});
}

TEST(SplitArguments, QuotedTokensKeepTheirBlanks) {
    EXPECT_EQ(Tokens("\"My Keyboard\" OvtmFilt"), (Strings{"My Keyboard", "OvtmFilt"}));
    EXPECT_EQ(Tokens("\"tab\there\""), (Strings{"tab\there"}));
    EXPECT_EQ(Tokens("\"\" x"), (Strings{"", "x"}));
}

TEST(SplitArguments, ClosingQuoteEndsTheTokenEvenWithoutABlank) {
    EXPECT_EQ(Tokens("\"ab\"cd e"), (Strings{"ab", "cd", "e"}));
    EXPECT_EQ(Tokens("\"ab\"\"cd\""), (Strings{"ab", "cd"}));
}

TEST(SplitArguments, UnclosedQuoteRunsToTheEnd) {
    EXPECT_EQ(Tokens("x \"open to  the end"), (Strings{"x", "open to  the end"}));
    EXPECT_EQ(Tokens("\""), (Strings{""}));
}

TEST(SplitArguments, QuoteInsideAPlainTokenIsOrdinary) {
    EXPECT_EQ(Tokens("ab\"cd ef\""), (Strings{"ab\"cd", "ef\""}));
}

TEST(ParseArguments, TheApplicationLibrarysCommandLine) {
    ExpectParsed("USB\\Vid_5e3a&Pid_1c07&Rev_0005&MI_01 OvtmFilt -add -lower",
                 "USB\\Vid_5e3a&Pid_1c07&Rev_0005&MI_01", "OvtmFilt", InjectMode::Add, "");
}

TEST(ParseArguments, PositionalTokensMixWithSwitchesInAnyOrder) {
    ExpectParsed("-last hw /lower svc", "hw", "svc", InjectMode::Last, "");
    ExpectParsed("hw svc", "hw", "svc", InjectMode::Add, "");
    ExpectParsed("\"My Keyboard\" OvtmFilt", "My Keyboard", "OvtmFilt", InjectMode::Add, "");
}

TEST(ParseArguments, KeywordsAndTheirAbbreviations) {
    ExpectParsed("h s -a", "h", "s", InjectMode::Add, "");
    ExpectParsed("h s -f", "h", "s", InjectMode::Add, "");
    ExpectParsed("h s -first", "h", "s", InjectMode::Add, "");
    ExpectParsed("h s -la", "h", "s", InjectMode::Last, "");
    ExpectParsed("h s /LAST", "h", "s", InjectMode::Last, "");
    ExpectParsed("h s -af x", "h", "s", InjectMode::After, "x");
    ExpectParsed("h s -AFTER x", "h", "s", InjectMode::After, "x");
    ExpectParsed("h s -b x", "h", "s", InjectMode::Before, "x");
    ExpectParsed("h s /before x", "h", "s", InjectMode::Before, "x");
    ExpectParsed("h s -r", "h", "s", InjectMode::Remove, "s");
    ExpectParsed("h s -Remove", "h", "s", InjectMode::Remove, "s");
}

TEST(ParseArguments, LowerAndWhatMatchesItChangeNothing) {
    for (const char* sw : {"-l", "-lo", "-lower", "-lowerxyz", "-", "/", "-LOWER"}) {
        ExpectParsed(std::string("h s -last ") + sw, "h", "s", InjectMode::Last, "");
    }
}

TEST(ParseArguments, LongerSwitchesMatchOnTheKeywordsLength) {
    ExpectParsed("h s -addition", "h", "s", InjectMode::Add, "");
    ExpectParsed("h s -removed", "h", "s", InjectMode::Remove, "s");
    ExpectParsed("h s -afterwards x", "h", "s", InjectMode::After, "x");
}

TEST(ParseArguments, OperandIsTakenWhateverItBeginsWith) {
    ExpectParsed("h s -before -remove", "h", "s", InjectMode::Before, "-remove");
    ExpectParsed("-after /x h s", "h", "s", InjectMode::After, "/x");
    ExpectParsed("h -b \"two words\" s", "h", "s", InjectMode::Before, "two words");
}

TEST(ParseArguments, LaterSwitchOverridesTheMode) {
    ExpectParsed("h s -first -remove", "h", "s", InjectMode::Remove, "s");
    ExpectParsed("h s -remove -add", "h", "s", InjectMode::Add, "");
    ExpectParsed("h s -before x -last", "h", "s", InjectMode::Last, "x");
}

TEST(ParseArguments, RemoveModeRefersToTheService) {
    ExpectParsed("h s -after x -remove", "h", "s", InjectMode::Remove, "s");
}

TEST(ParseArguments, ArgumentErrors) {
    for (const char* line : {
             "",                // nothing at all
             "   \t ",          // blanks only
             "hw",              // service missing
             "hw -add",         // service missing behind a switch
             "-add -lower",     // no positional token
             "a b c",           // a third positional token
             "a b -before",     // operand missing
             "a b -after",      // operand missing
             "a b -upper foo",  // no such keyword
             "a b -upper",      // no such keyword, and no operand
             "a b -x y",        // no such keyword
             "a b -before x c", // the operand is consumed, c is a third positional
         }) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(Parse(line));
    }
    InjectArguments arguments;
    EXPECT_EQ(ParseCommandLine(nullptr, arguments), kArgumentError);
}

// An empty quoted token still takes its place among the positional tokens, but an empty id
// would match every device without a name, and a service is never a path.
TEST(ParseArguments, EmptyIdsAndServicesThatArePathsAreArgumentErrors) {
    for (const char* line : {
             "\"\" s",            // empty hardware id
             "\"\" s -remove",    // empty hardware id, remove mode
             "h \"\"",            // empty service
             "h ..\\evil",        // a path
             "h C:\\x\\OvtmFilt", // a path
             "h a/b -remove",     // a path, remove mode
             "h \"s\\\" -last",   // a separator at the end
         }) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(Parse(line));
    }
    ExpectParsed("\"My Keyboard\" s -last", "My Keyboard", "s", InjectMode::Last, "");
    ExpectParsed("h s -before a\\b", "h", "s", InjectMode::Before, "a\\b");
}
