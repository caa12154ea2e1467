// The client of the virtual bus's control device, and the keyboard model and descriptors it
// shares with the host tier's virtual keyboard, so that both tiers send the same bytes.
#include "virtual_bus.h"

#include <setupapi.h>

#include <cstdio>
#include <cstring>

#include "ovtm_control.h"
#include "ovtm_device_protocol.h"
#include "usb_descriptors.h"
#include "vbus_protocol.h"

namespace ovtm::wine {
namespace {

constexpr DWORD kPlugLimitMs = 20000;
constexpr DWORD kLinkLimitMs = 5000;
constexpr DWORD kPollMs = 5;
constexpr DWORD kLogEntries = 4096;

std::string Describe(const char* what, DWORD error) {
    char text[160];
    std::snprintf(text, sizeof(text), "%s failed, error %lu", what,
                  static_cast<unsigned long>(error));
    return text;
}

std::string DescribeStatus(const char* what, long status) {
    char text[160];
    std::snprintf(text, sizeof(text), "%s: NTSTATUS 0x%08lX", what,
                  static_cast<unsigned long>(status));
    return text;
}

// Bit n set when #n exists. #1 to #8 are the filter's numbers; once all eight are taken, the
// next keyboard's control device is #0.
unsigned ExistingControlDevices() {
    unsigned mask = 0;
    for (int n = 0; n <= static_cast<int>(OVTM_MAX_CONTROL_DEVICES); ++n) {
        if (ControlDeviceExists(n)) {
            mask |= 1u << n;
        }
    }
    return mask;
}

// Deletes a removed keyboard's device instance (its Enum key, driver key and interfaces).
void ForgetDeviceInstance(const KeyboardSpec& spec, unsigned instanceNumber) {
    wchar_t id[96];
    std::swprintf(id, 96, L"USB\\Vid_%04x&Pid_%04x&MI_01\\%u", spec.vendor, spec.product,
                  instanceNumber);
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device = {sizeof(device), {}, 0, 0};
    if (SetupDiOpenDeviceInfoW(set, id, nullptr, 0, &device)) {
        SetupDiRemoveDevice(set, &device);
    }
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace

bool ControlDeviceExists(int number) {
    wchar_t name[32];
    wchar_t target[512];
    std::swprintf(name, 32, L"OvtsMelodixSymLk#%d", number);
    return QueryDosDeviceW(name, target, 512) != 0;
}

VirtualBus::VirtualBus() {
    bus_ = CreateFileW(VBUS_PATH_W, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (bus_ == INVALID_HANDLE_VALUE) {
        lastError_ = Describe("opening \\\\.\\OvtmVirtualBus (are the bench drivers installed?)",
                              GetLastError());
    }
}

VirtualBus::~VirtualBus() {
    std::vector<int> plugged;
    for (const auto& entry : controlNumbers_) {
        plugged.push_back(entry.first);
    }
    for (int keyboard : plugged) {
        Unplug(keyboard);
    }
    if (bus_ != INVALID_HANDLE_VALUE) {
        CloseHandle(bus_);
    }
}

bool VirtualBus::Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* returned, const char* what) {
    DWORD ignored = 0;
    if (!IsOpen()) {
        return false;
    }
    if (!DeviceIoControl(bus_, code, const_cast<void*>(in), inSize, out, outSize,
                         returned ? returned : &ignored, nullptr)) {
        lastError_ = Describe(what, GetLastError());
        return false;
    }
    return true;
}

std::optional<KeyboardState> VirtualBus::State(int keyboard) {
    ULONG id = static_cast<ULONG>(keyboard);
    VBUS_STATE state{};
    if (!Control(IOCTL_VBUS_STATE, &id, sizeof(id), &state, sizeof(state), nullptr,
                 "reading a keyboard's state")) {
        return std::nullopt;
    }
    return KeyboardState{static_cast<KeyboardState::Life>(state.State),
                         state.StartStatus,
                         static_cast<unsigned>(state.TransfersPending[0]),
                         static_cast<unsigned>(state.TransfersPending[1]),
                         static_cast<unsigned>(state.InterfaceEntries),
                         static_cast<unsigned>(state.InstanceNumber),
                         state.AddFailed != 0};
}

// Waits until the keyboard reaches `until` or a later stage of its life.
bool VirtualBus::WaitForState(int keyboard, KeyboardState::Life until, KeyboardState* state) {
    const DWORD start = GetTickCount();
    for (;;) {
        std::optional<KeyboardState> now = State(keyboard);
        if (!now) {
            return false;
        }
        *state = *now;
        if (static_cast<int>(now->life) >= static_cast<int>(until)) {
            return true;
        }
        if (GetTickCount() - start > kPlugLimitMs) {
            lastError_ = "the keyboard's stack did not change in time";
            return false;
        }
        Sleep(kPollMs);
    }
}

int VirtualBus::Plug(const KeyboardSpec& spec) {
    failedKeyboard_ = 0;
    usbsim::KeyboardIdentity identity{spec.vendor, spec.product, spec.revision,
                                      spec.twoInterfaces ? usbsim::InterfaceShape::KeyboardAndMusic
                                                         : usbsim::InterfaceShape::MusicOnly};
    const std::vector<uint8_t> device = usbsim::DeviceDescriptor(identity);
    const std::vector<uint8_t> configuration = usbsim::ConfigurationDescriptor(identity.Shape);
    VBUS_PLUG plug{};
    plug.VendorId = spec.vendor;
    plug.ProductId = spec.product;
    plug.Revision = spec.revision;
    plug.TwoInterfaces = spec.twoInterfaces ? 1 : 0;
    plug.ConfigurationLength = static_cast<unsigned char>(configuration.size());
    std::memcpy(plug.DeviceDescriptor, device.data(), sizeof(plug.DeviceDescriptor));
    std::memcpy(plug.Configuration, configuration.data(), configuration.size());

    const unsigned before = ExistingControlDevices();
    ULONG id = 0;
    if (!Control(IOCTL_VBUS_PLUG, &plug, sizeof(plug), &id, sizeof(id), nullptr,
                 "plugging a keyboard")) {
        return -1;
    }
    const int keyboard = static_cast<int>(id);
    KeyboardState state{};
    if (!WaitForState(keyboard, KeyboardState::Life::Started, &state)) {
        return -1;
    }
    if (state.life != KeyboardState::Life::Started) {
        failedKeyboard_ = keyboard;
        lastError_ = DescribeStatus(state.addFailed ? "adding the keyboard's devices failed"
                                                    : "the keyboard's start failed",
                                    state.startStatus);
        KeyboardState gone{};
        if (WaitForState(keyboard, KeyboardState::Life::Removed, &gone)) {
            ForgetDeviceInstance(spec, gone.instanceNumber);
        }
        return -1;
    }
    const DWORD start = GetTickCount();
    int number = -1;
    while (number < 0) {
        const unsigned fresh = ExistingControlDevices() & ~before;
        for (int n = 0; n <= static_cast<int>(OVTM_MAX_CONTROL_DEVICES) && number < 0; ++n) {
            if (fresh & (1u << n)) {
                number = n;
            }
        }
        if (number < 0) {
            if (GetTickCount() - start > kLinkLimitMs) {
                lastError_ = "the keyboard started, but no new control device appeared";
                return -1;
            }
            Sleep(kPollMs);
        }
    }
    models_[keyboard] = usbsim::KeyboardModel();
    specs_[keyboard] = spec;
    controlNumbers_[keyboard] = number;
    return keyboard;
}

int VirtualBus::ControlDeviceNumber(int keyboard) const {
    auto found = controlNumbers_.find(keyboard);
    return found == controlNumbers_.end() ? -1 : found->second;
}

bool VirtualBus::Unplug(int keyboard) {
    ULONG id = static_cast<ULONG>(keyboard);
    if (!Control(IOCTL_VBUS_UNPLUG, &id, sizeof(id), nullptr, 0, nullptr,
                 "unplugging a keyboard")) {
        return false;
    }
    KeyboardState state{};
    if (!WaitForState(keyboard, KeyboardState::Life::Removed, &state)) {
        return false;
    }
    const int number = ControlDeviceNumber(keyboard);
    controlNumbers_.erase(keyboard);
    ForgetDeviceInstance(specs_[keyboard], state.instanceNumber);
    const DWORD start = GetTickCount();
    while (number >= 0 && ControlDeviceExists(number)) {
        if (GetTickCount() - start > kLinkLimitMs) {
            lastError_ = "the keyboard's stack is gone, but its control device stayed";
            return false;
        }
        Sleep(kPollMs);
    }
    return true;
}

bool VirtualBus::Send(int keyboard, uint8_t endpoint, const std::vector<uint8_t>& bytes) {
    if (bytes.empty() || bytes.size() > VBUS_MAX_REPORT) {
        lastError_ = "a report holds 1 to 64 bytes";
        return false;
    }
    VBUS_SEND send{};
    send.KeyboardId = static_cast<ULONG>(keyboard);
    send.Endpoint = endpoint;
    send.Length = static_cast<unsigned char>(bytes.size());
    std::memcpy(send.Bytes, bytes.data(), bytes.size());
    return Control(IOCTL_VBUS_SEND, &send, sizeof(send), nullptr, 0, nullptr, "sending a report");
}

bool VirtualBus::SendReports(int keyboard, const std::vector<std::vector<uint8_t>>& reports,
                             LONGLONG* issuedAt, LONGLONG* carriedAt) {
    static_assert(kMaxReportsPerSend == VBUS_MAX_SEND_BATCH);
    if (reports.empty() || reports.size() > kMaxReportsPerSend) {
        lastError_ = "a send carries 1 to 256 reports";
        return false;
    }
    std::vector<VBUS_SEND> sends(reports.size());
    for (size_t i = 0; i < reports.size(); ++i) {
        if (reports[i].empty() || reports[i].size() > VBUS_MAX_REPORT) {
            lastError_ = "a report holds 1 to 64 bytes";
            return false;
        }
        sends[i].KeyboardId = static_cast<ULONG>(keyboard);
        sends[i].Endpoint = 0x82;
        sends[i].Length = static_cast<unsigned char>(reports[i].size());
        std::memcpy(sends[i].Bytes, reports[i].data(), reports[i].size());
    }
    VBUS_SEND_RESULT result{};
    DWORD returned = 0;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (issuedAt != nullptr) {
        *issuedAt = now.QuadPart;
    }
    if (!Control(IOCTL_VBUS_SEND, sends.data(),
                 static_cast<DWORD>(sends.size() * sizeof(VBUS_SEND)), &result, sizeof(result),
                 &returned, "sending reports")) {
        return false;
    }
    if (carriedAt != nullptr) {
        *carriedAt = returned == sizeof(result) ? result.CarriedAt : 0;
    }
    return true;
}

bool VirtualBus::SendReport(int keyboard, const std::vector<uint8_t>& bytes) {
    return Send(keyboard, 0x82, bytes);
}

bool VirtualBus::SendTypingReport(int keyboard, const std::vector<uint8_t>& bytes) {
    return Send(keyboard, 0x81, bytes);
}

bool VirtualBus::KeyDown(int keyboard, uint8_t key, uint8_t velocity) {
    return SendReport(keyboard, usbsim::KeyboardModel::PressKey(key, velocity));
}

bool VirtualBus::KeyUp(int keyboard, uint8_t key, uint8_t velocity) {
    return SendReport(keyboard, usbsim::KeyboardModel::ReleaseKey(key, velocity));
}

bool VirtualBus::Press(int keyboard, uint8_t buttonPressCode) {
    std::vector<uint8_t> report = models_[keyboard].PressButton(buttonPressCode);
    if (report.empty()) {
        lastError_ = "the keyboard has no button with that press code";
        return false;
    }
    return SendReport(keyboard, report);
}

bool VirtualBus::Release(int keyboard, uint8_t buttonPressCode) {
    std::vector<uint8_t> report = models_[keyboard].ReleaseButton(buttonPressCode);
    if (report.empty()) {
        lastError_ = "the keyboard has no button with that press code";
        return false;
    }
    return SendReport(keyboard, report);
}

bool VirtualBus::SetAnswer(int keyboard, uint8_t command, uint32_t value, uint32_t delayMs) {
    const std::vector<uint8_t> reply = usbsim::KeyboardModel::Reply(command, value);
    VBUS_ANSWER answer{};
    answer.KeyboardId = static_cast<ULONG>(keyboard);
    answer.Command = command;
    answer.Enabled = 1;
    answer.Length = static_cast<unsigned char>(reply.size());
    answer.DelayMs = delayMs;
    std::memcpy(answer.Bytes, reply.data(), reply.size());
    return Control(IOCTL_VBUS_SET_ANSWER, &answer, sizeof(answer), nullptr, 0, nullptr,
                   "setting an answer");
}

bool VirtualBus::SetNoAnswer(int keyboard, uint8_t command) {
    VBUS_ANSWER answer{};
    answer.KeyboardId = static_cast<ULONG>(keyboard);
    answer.Command = command;
    return Control(IOCTL_VBUS_SET_ANSWER, &answer, sizeof(answer), nullptr, 0, nullptr,
                   "setting no answer");
}

std::vector<BusEvent> VirtualBus::Events(int keyboard) {
    std::vector<VBUS_LOG_ENTRY> entries(kLogEntries);
    VBUS_LOG_QUERY query{static_cast<ULONG>(keyboard), 0};
    DWORD returned = 0;
    std::vector<BusEvent> events;
    if (!Control(IOCTL_VBUS_READ_LOG, &query, sizeof(query), entries.data(),
                 static_cast<DWORD>(entries.size() * sizeof(VBUS_LOG_ENTRY)), &returned,
                 "reading a keyboard's log")) {
        return events;
    }
    const size_t count = returned / sizeof(VBUS_LOG_ENTRY);
    for (size_t i = 0; i < count; ++i) {
        const VBUS_LOG_ENTRY& e = entries[i];
        events.push_back(BusEvent{static_cast<uint32_t>(e.Sequence),
                                  static_cast<BusEvent::Kind>(e.Kind), e.Endpoint, e.Status,
                                  std::vector<uint8_t>(e.Bytes, e.Bytes + e.Length)});
    }
    return events;
}

std::vector<std::vector<uint8_t>> VirtualBus::Commands(int keyboard) {
    std::vector<std::vector<uint8_t>> commands;
    for (const BusEvent& e : Events(keyboard)) {
        if (e.kind == BusEvent::Kind::Command) {
            commands.push_back(e.bytes);
        }
    }
    return commands;
}

std::vector<uint8_t> VirtualBus::CommandCodes(int keyboard) {
    std::vector<uint8_t> codes;
    for (const std::vector<uint8_t>& report : Commands(keyboard)) {
        if (report.size() == OVTM_COMMAND_REPORT_LENGTH && report[0] == OVTM_REPORT_COMMAND &&
            report[1] == OVTM_COMMAND_KIND) {
            codes.push_back(report[2]);
        }
    }
    return codes;
}

std::vector<uint8_t> VirtualBus::LedReports(int keyboard) {
    std::vector<uint8_t> values;
    for (const BusEvent& e : Events(keyboard)) {
        if (e.kind == BusEvent::Kind::Led && !e.bytes.empty()) {
            values.push_back(e.bytes[0]);
        }
    }
    return values;
}

std::vector<HidReport> VirtualBus::HidReports(int keyboard) {
    std::vector<HidReport> reports;
    for (const BusEvent& e : Events(keyboard)) {
        if (e.kind == BusEvent::Kind::HidReport) {
            reports.push_back(HidReport{e.endpoint, e.status, e.bytes});
        }
    }
    return reports;
}

} // namespace ovtm::wine
