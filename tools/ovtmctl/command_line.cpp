// Checking the diagnostic command's words and the help texts that explain them.
#include "command_line.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "ovtm_control.h"
#include "ovtm_device_protocol.h"

namespace ovtmctl {
namespace {

struct VerbName {
    const char* word;
    Verb verb;
};

constexpr VerbName kVerbs[] = {
    {"list", Verb::List}, {"query", Verb::Query}, {"command", Verb::Command}, {"leds", Verb::Leds},
    {"mask", Verb::Mask}, {"curve", Verb::Curve}, {"monitor", Verb::Monitor}, {"help", Verb::Help},
};

std::optional<Verb> FindVerb(const std::string& word) {
    for (const auto& v : kVerbs) {
        if (word == v.word)
            return v.verb;
    }
    return std::nullopt;
}

const char* VerbWord(Verb verb) {
    for (const auto& v : kVerbs) {
        if (v.verb == verb)
            return v.word;
    }
    return "help";
}

// A whole number in decimal or 0x hex, no sign, up to `limit`.
std::optional<uint32_t> Number(const std::string& word, uint32_t limit) {
    bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    std::string digits = word.substr(hex ? 2 : 0);
    if (digits.empty() || digits.size() > 10)
        return std::nullopt;
    for (char c : digits) {
        bool ok = hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
        if (!ok)
            return std::nullopt;
    }
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (value > limit)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::optional<bool> OnOff(const std::string& word) {
    if (word == "on")
        return true;
    if (word == "off")
        return false;
    return std::nullopt;
}

Parsed Fail(const std::string& error) {
    return Parsed{std::nullopt, error};
}

Parsed Ok(const Invocation& invocation) {
    return Parsed{invocation, {}};
}

// The words after the verb, one reader per verb.
Parsed ParseVerbArguments(Invocation inv, const std::vector<std::string>& a) {
    const std::string usage = std::string("; see 'ovtmctl ") + VerbWord(inv.verb) + " --help'";
    switch (inv.verb) {
    case Verb::List:
        if (!a.empty())
            return Fail("list takes no arguments" + usage);
        return Ok(inv);
    case Verb::Query:
    case Verb::Command: {
        bool query = inv.verb == Verb::Query;
        if (a.size() != 1)
            return Fail(std::string(query ? "query takes c3 or c4" : "command takes c1 or c2") +
                        usage);
        const std::string& w = a[0];
        if (query && (w == "c3" || w == "C3" || w == "0xC3" || w == "0xc3"))
            inv.code = OVTM_QUERY_C3;
        else if (query && (w == "c4" || w == "C4" || w == "0xC4" || w == "0xc4"))
            inv.code = OVTM_QUERY_C4;
        else if (!query && (w == "c1" || w == "C1" || w == "0xC1" || w == "0xc1"))
            inv.code = OVTM_COMMAND_C1;
        else if (!query && (w == "c2" || w == "C2" || w == "0xC2" || w == "0xc2"))
            inv.code = OVTM_COMMAND_C2;
        else
            return Fail("unknown " + std::string(query ? "query" : "command") + " '" + w + "'" +
                        usage);
        return Ok(inv);
    }
    case Verb::Leds: {
        if (a.size() != 2)
            return Fail("leds takes a mask and on or off" + usage);
        std::optional<uint32_t> bits = Number(a[0], 0xFF);
        if (!bits)
            return Fail("the mask must be a number from 0 to 255 (0x0 to 0xFF), not '" + a[0] +
                        "'" + usage);
        std::optional<bool> on = OnOff(a[1]);
        if (!on)
            return Fail("expected on or off, not '" + a[1] + "'" + usage);
        inv.bits = static_cast<uint8_t>(*bits);
        inv.on = *on;
        return Ok(inv);
    }
    case Verb::Mask: {
        if (a.size() != 2)
            return Fail("mask takes a button index and on or off" + usage);
        std::optional<uint32_t> index = Number(a[0], OVTM_KEY_MASK_COUNT - 1);
        if (!index)
            return Fail("the index must be a number from 0 to 16, not '" + a[0] + "'" + usage);
        std::optional<bool> on = OnOff(a[1]);
        if (!on)
            return Fail("expected on or off, not '" + a[1] + "'" + usage);
        inv.index = static_cast<uint8_t>(*index);
        inv.on = *on;
        return Ok(inv);
    }
    case Verb::Curve:
        if (a.size() != 1 || a[0].empty())
            return Fail("curve takes linear, soft, hard or a file of 128 bytes" + usage);
        inv.curveName = a[0];
        return Ok(inv);
    case Verb::Monitor:
        for (size_t i = 0; i < a.size(); i += 2) {
            if (i + 1 >= a.size() || (a[i] != "--seconds" && a[i] != "--count"))
                return Fail("monitor takes --seconds S and --count N" + usage);
            std::optional<uint32_t> n = Number(a[i + 1], 0xFFFFFFFFu);
            if (!n || *n == 0)
                return Fail(a[i] + " needs a whole number above 0, not '" + a[i + 1] + "'" + usage);
            (a[i] == "--seconds" ? inv.seconds : inv.count) = *n;
        }
        return Ok(inv);
    case Verb::Help:
        if (a.size() > 1)
            return Fail("help takes at most one verb");
        if (a.size() == 1) {
            std::optional<Verb> verb = FindVerb(a[0]);
            if (!verb)
                return Fail("unknown verb '" + a[0] + "'; see 'ovtmctl --help'");
            inv.helpFor = *verb;
        }
        return Ok(inv);
    }
    return Fail("unknown verb");
}

} // namespace

Parsed ParseCommandLine(const std::vector<std::string>& args) {
    Invocation inv;
    size_t i = 0;
    // Options before the verb.
    while (i < args.size() && args[i].size() > 1 && args[i][0] == '-') {
        if (args[i] == "--help" || args[i] == "-h" || args[i] == "/?")
            return Ok(inv);
        if (args[i] != "--device")
            return Fail("unknown option '" + args[i] + "'; see 'ovtmctl --help'");
        std::optional<uint32_t> n;
        if (i + 1 < args.size())
            n = Number(args[i + 1], OVTM_MAX_CONTROL_DEVICES);
        if (!n || *n == 0)
            return Fail("--device needs a control-device number from 1 to 8");
        inv.device = static_cast<int>(*n);
        i += 2;
    }
    if (i == args.size())
        return Fail("no verb given; see 'ovtmctl --help'");
    std::optional<Verb> verb = FindVerb(args[i]);
    if (!verb)
        return Fail("unknown verb '" + args[i] + "'; see 'ovtmctl --help'");
    inv.verb = *verb;
    std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    for (const std::string& word : rest) {
        if (word == "--help" || word == "-h") {
            inv.helpFor = inv.verb;
            inv.verb = Verb::Help;
            return Ok(inv);
        }
    }
    return ParseVerbArguments(inv, rest);
}

std::string HelpText(std::optional<Verb> verb) {
    if (!verb || *verb == Verb::Help) {
        return "Usage: ovtmctl [--device N] <verb> [arguments]\n"
               "Looks at and steers a connected keyboard through its control device\n"
               "\\\\.\\OvtsMelodixSymLk#N (N from 1 to 8, 1 unless --device is given).\n"
               "\n"
               "Verbs:\n"
               "  list                       keyboards present: control device, revision,\n"
               "                             protocol version, name\n"
               "  query c3|c4                ask the keyboard (answer within 500 ms)\n"
               "  command c1|c2              send a device command\n"
               "  leds <mask> on|off         lock-key lights (1 Num, 2 Caps, 4 Scroll) and\n"
               "                             light 8 (mask bit 0x08)\n"
               "  mask <index> on|off        hide button <index> (1 to 16) from the HID\n"
               "                             driver (on) or show it again (off)\n"
               "  curve linear|soft|hard|<file>  the note-on velocity curve\n"
               "  monitor [--seconds S] [--count N]  print event records as they come,\n"
               "                             until Ctrl+C\n"
               "  help [verb]                this text, or a verb's\n"
               "Every verb also takes --help.\n"
               "\n"
               "Exit codes: 0 done, 1 wrong arguments (nothing sent), 2 no keyboard at that\n"
               "control device, 3 the driver refused or failed the request, 4 the keyboard\n"
               "did not answer a query.\n";
    }
    switch (*verb) {
    case Verb::List:
        return "Usage: ovtmctl list\n"
               "Opens control devices 1 to 8 and prints one line per keyboard present:\n"
               "  #1  revision 05  protocol 301  Orvane Tessaro Melodix\n"
               "Exit code 2 when none is present.\n";
    case Verb::Query:
        return "Usage: ovtmctl [--device N] query c3|c4\n"
               "Sends query 0xC3 or 0xC4 and prints the keyboard's 32-bit answer in hex.\n"
               "Exit code 4 when the keyboard does not answer within 500 ms.\n";
    case Verb::Command:
        return "Usage: ovtmctl [--device N] command c1|c2\n"
               "Sends device command 0xC1 or 0xC2.\n";
    case Verb::Leds:
        return "Usage: ovtmctl [--device N] leds <mask> on|off\n"
               "Switches lights on or off. Mask bits: 0x01 Num Lock, 0x02 Caps Lock,\n"
               "0x04 Scroll Lock, 0x08 light 8 (a device command); e.g. 'leds 0x0F on'.\n";
    case Verb::Mask:
        return "Usage: ovtmctl [--device N] mask <index> on|off\n"
               "on hides button <index> (1 to 16) from the HID driver while a capture is\n"
               "held; off shows it again. Index 0 is accepted and has no effect.\n";
    case Verb::Curve:
        return "Usage: ovtmctl [--device N] curve linear|soft|hard|<file>\n"
               "Sets the note-on velocity curve: entry i is the velocity sent for a key\n"
               "struck with velocity i. linear keeps velocities, soft lifts soft playing,\n"
               "hard asks for more force; a file gives the 128 entries as 128 bytes.\n";
    case Verb::Monitor:
        return "Usage: ovtmctl [--device N] monitor [--seconds S] [--count N]\n"
               "Reads event records and prints one line each, milliseconds since the start,\n"
               "the record's bytes and what it means:\n"
               "      12 ms  90 3C 64 00  note on 60, velocity 100\n"
               "Stops at Ctrl+C, after S seconds or after N records, or when the keyboard\n"
               "is unplugged.\n";
    case Verb::Help:
        break;
    }
    return HelpText(std::nullopt);
}

std::optional<std::array<uint8_t, 128>> NamedCurve(const std::string& name) {
    enum class Shape { Linear, Soft, Hard };
    Shape shape;
    if (name == "linear")
        shape = Shape::Linear;
    else if (name == "soft")
        shape = Shape::Soft;
    else if (name == "hard")
        shape = Shape::Hard;
    else
        return std::nullopt;
    std::array<uint8_t, 128> curve{};
    for (int i = 0; i < 128; ++i) {
        double x = i / 127.0;
        double y = shape == Shape::Linear ? x : shape == Shape::Soft ? std::sqrt(x) : x * x;
        long v = std::lround(127.0 * y);
        // A struck key always sounds: only velocity 0 maps to 0.
        if (i > 0 && v < 1)
            v = 1;
        curve[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
    }
    return curve;
}

} // namespace ovtmctl
