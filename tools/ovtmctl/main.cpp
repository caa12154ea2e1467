// ovtmctl: the diagnostic command for people who support the keyboard. It lists the keyboards
// present, sends queries, commands, lights, masks and velocity curves to one of them, and shows
// its event records live. One handler per verb; exit codes as the help text lists them.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "command_line.h"
#include "control_client.h"
#include "ovtm_control.h"
#include "ovtm_device_protocol.h"
#include "ovtm_event.h"
#include "record_text.h"

namespace ovtmctl {
namespace {

// Set by Ctrl+C or Ctrl+Break; the monitor waits on it beside its read.
HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
        SetEvent(g_stopEvent);
        return TRUE;
    }
    return FALSE;
}

std::string ErrorText(DWORD error) {
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == ' ' || text[length - 1] == '.'))
        text[--length] = '\0';
    std::string result = "error " + std::to_string(error);
    return length ? result + " (" + text + ")" : result;
}

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof(byte), i ? " %02X" : "%02X", bytes[i]);
        text += byte;
    }
    return text;
}

std::optional<ControlDevice> OpenOrSay(int number, int* exitCode) {
    DWORD error = 0;
    std::optional<ControlDevice> device = ControlDevice::Open(number, &error);
    if (!device) {
        std::fprintf(stderr, "ovtmctl: no keyboard at control device #%d: %s\n", number,
                     ErrorText(error).c_str());
        *exitCode = kExitNoKeyboard;
    }
    return device;
}

int Refused(const char* what, const CallResult& result) {
    std::fprintf(stderr, "ovtmctl: the driver refused %s: %s\n", what,
                 ErrorText(result.error).c_str());
    return kExitRefused;
}

int RunList() {
    int found = 0;
    for (int number = 1; number <= static_cast<int>(OVTM_MAX_CONTROL_DEVICES); ++number) {
        DWORD error = 0;
        std::optional<ControlDevice> device = ControlDevice::Open(number, &error);
        if (!device)
            continue;
        ++found;
        std::vector<uint8_t> revision(1, 0), version(4, 0), name(OVTM_DEVICE_NAME_SIZE, 0);
        CallResult r = device->Call(IOCTL_OVTM_GET_REVISION, {}, &revision);
        CallResult v = device->Call(IOCTL_OVTM_GET_VERSION, {}, &version);
        CallResult n = device->Call(IOCTL_OVTM_GET_DEVICE_NAME, {}, &name);
        std::string line = "#" + std::to_string(number);
        char field[48];
        if (r.error == ERROR_SUCCESS && r.bytes >= 1)
            std::snprintf(field, sizeof(field), "  revision %02X", revision[0]);
        else
            std::snprintf(field, sizeof(field), "  revision ?");
        line += field;
        if (v.error == ERROR_SUCCESS && v.bytes >= 4) {
            unsigned value = version[0] | version[1] << 8 | version[2] << 16 |
                             static_cast<unsigned>(version[3]) << 24;
            std::snprintf(field, sizeof(field), "  protocol %u", value);
        } else {
            std::snprintf(field, sizeof(field), "  protocol ?");
        }
        line += field;
        if (n.error == ERROR_SUCCESS && n.bytes == OVTM_DEVICE_NAME_SIZE) {
            name.back() = 0; // a name that fills the buffer is cut, never read past
            line += "  " + std::string(reinterpret_cast<const char*>(name.data()));
        } else {
            line += "  (no name)";
        }
        std::printf("%s\n", line.c_str());
    }
    if (!found) {
        std::fprintf(stderr, "ovtmctl: no keyboard present (control devices #1 to #%u)\n",
                     OVTM_MAX_CONTROL_DEVICES);
        return kExitNoKeyboard;
    }
    return kExitOk;
}

int RunQuery(ControlDevice& device, uint8_t code) {
    std::vector<uint8_t> answer(4, 0);
    CallResult r =
        device.Call(code == OVTM_QUERY_C3 ? IOCTL_OVTM_QUERY_C3 : IOCTL_OVTM_QUERY_C4, {}, &answer);
    if (r.error != ERROR_SUCCESS)
        return Refused("the query", r);
    if (r.bytes < 4) {
        std::fprintf(stderr, "ovtmctl: the keyboard did not answer %02X within 500 ms\n", code);
        return kExitNoAnswer;
    }
    unsigned value =
        answer[0] | answer[1] << 8 | answer[2] << 16 | static_cast<unsigned>(answer[3]) << 24;
    std::printf("answer to %02X: 0x%08X\n", code, value);
    return kExitOk;
}

int RunCommand(ControlDevice& device, uint8_t code) {
    CallResult r = device.Call(
        code == OVTM_COMMAND_C1 ? IOCTL_OVTM_COMMAND_C1 : IOCTL_OVTM_COMMAND_C2, {}, nullptr);
    if (r.error != ERROR_SUCCESS)
        return Refused("the command", r);
    std::printf("command %02X sent\n", code);
    return kExitOk;
}

// Switches and masks carry their two parameter bytes in the output buffer.
int RunTwoByteRequest(ControlDevice& device, DWORD code, uint8_t first, bool on, const char* what) {
    std::vector<uint8_t> parameters = {first, static_cast<uint8_t>(on ? 1 : 0), 0, 0};
    CallResult r = device.Call(code, {}, &parameters);
    if (r.error != ERROR_SUCCESS)
        return Refused(what, r);
    return kExitOk;
}

int RunCurve(ControlDevice& device, const std::string& name) {
    std::vector<uint8_t> curve;
    if (std::optional<std::array<uint8_t, 128>> named = NamedCurve(name)) {
        curve.assign(named->begin(), named->end());
    } else {
        std::ifstream file(name, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "ovtmctl: '%s' is neither linear, soft, hard nor a file\n",
                         name.c_str());
            return kExitUsage;
        }
        curve.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (curve.size() != OVTM_VELOCITY_CURVE_SIZE) {
            std::fprintf(stderr, "ovtmctl: a curve file holds exactly 128 bytes; '%s' has %zu\n",
                         name.c_str(), curve.size());
            return kExitUsage;
        }
    }
    CallResult r = device.Call(IOCTL_OVTM_SET_VELOCITY_CURVE, curve, nullptr);
    if (r.error != ERROR_SUCCESS)
        return Refused("the velocity curve", r);
    std::printf("velocity curve set: %s\n", name.c_str());
    return kExitOk;
}

int RunMonitor(ControlDevice& device, const Invocation& inv) {
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG end = inv.seconds ? start + 1000ull * *inv.seconds : 0;
    uint32_t printed = 0;
    int exitCode = kExitOk;
    bool removed = false;
    while (!removed && (!inv.count || printed < *inv.count)) {
        ULONGLONG now = GetTickCount64();
        if (end && now >= end)
            break;
        DWORD wait = end ? static_cast<DWORD>(end - now) : INFINITE;
        std::vector<uint8_t> bytes;
        CallResult r = device.Read(&bytes, g_stopEvent, wait);
        if (r.error == ERROR_OPERATION_ABORTED &&
            (WaitForSingleObject(g_stopEvent, 0) == WAIT_OBJECT_0 ||
             (end && GetTickCount64() >= end)))
            break; // our own stop
        if (r.error != ERROR_SUCCESS) {
            exitCode = Refused("a read (readers released at shutdown, or the keyboard went)", r);
            break;
        }
        ULONGLONG at = GetTickCount64() - start;
        for (size_t i = 0; i + OVTM_EVENT_RECORD_SIZE <= bytes.size();
             i += OVTM_EVENT_RECORD_SIZE) {
            std::vector<uint8_t> record(bytes.begin() + static_cast<long>(i),
                                        bytes.begin() + static_cast<long>(i) + 4);
            std::printf("%8llu ms  %s  %s\n", at, Hex(record.data(), 4).c_str(),
                        records::DescribeRecords(record).c_str());
            ++printed;
            if (record[0] == OVTM_KEY_RECORD_MARK && record[2] == OVTM_NOTICE_DEVICE_REMOVED)
                removed = true;
            if (inv.count && printed >= *inv.count)
                break;
        }
        std::fflush(stdout);
    }
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    CloseHandle(g_stopEvent);
    g_stopEvent = nullptr;
    return exitCode;
}

int Run(const Invocation& inv) {
    if (inv.verb == Verb::Help) {
        std::printf("%s", HelpText(inv.helpFor).c_str());
        return kExitOk;
    }
    if (inv.verb == Verb::List)
        return RunList();
    int exitCode = kExitOk;
    std::optional<ControlDevice> device = OpenOrSay(inv.device, &exitCode);
    if (!device)
        return exitCode;
    switch (inv.verb) {
    case Verb::Query:
        return RunQuery(*device, inv.code);
    case Verb::Command:
        return RunCommand(*device, inv.code);
    case Verb::Leds:
        return RunTwoByteRequest(*device, IOCTL_OVTM_SET_SWITCHES, inv.bits, inv.on, "the lights");
    case Verb::Mask:
        return RunTwoByteRequest(*device, IOCTL_OVTM_SET_KEY_MASK, inv.index, inv.on,
                                 "the key mask");
    case Verb::Curve:
        return RunCurve(*device, inv.curveName);
    case Verb::Monitor:
        return RunMonitor(*device, inv);
    case Verb::Help:
    case Verb::List:
        break;
    }
    return kExitOk;
}

} // namespace
} // namespace ovtmctl

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ovtmctl::Parsed parsed = ovtmctl::ParseCommandLine(args);
    if (!parsed.invocation) {
        std::fprintf(stderr, "ovtmctl: %s\n", parsed.error.c_str());
        return ovtmctl::kExitUsage;
    }
    return ovtmctl::Run(*parsed.invocation);
}
