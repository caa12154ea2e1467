// Bringing the host tier up for a scenario and down again, plugging keyboards in and out, and
// the world's primitive actions and observations.
#include "world.h"

#include <hostkernel/kernel.h>

#include <cstdio>

#include "filter_callbacks.h"
#include "ovtm_control.h"
#include "ovtm_identity.h"

namespace scenario {

World::World() {
    hostkernel::Start(hostkernel::ClockMode::Test);
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = hostkernel::LoadDriver(OVTM_FILTER_SERVICE_W, DriverEntry, &status);
    if (driver_ == nullptr) {
        char text[64];
        std::snprintf(text, sizeof(text), "the filter's DriverEntry failed with 0x%08X",
                      static_cast<unsigned>(status));
        error_ = text;
    }
}

World::~World() {
    for (auto& client : clients_) {
        if (client.second->IsOpen())
            client.second->Close();
    }
    // Keyboards still working go in an orderly removal, their HID stacks letting go of their
    // transfers first, as when the system shuts their devices down.
    for (auto& keyboard : keyboards_) {
        if (keyboard->plugged->IsStarted())
            keyboard->plugged->Disable();
    }
    // The keyboards' own threads stop before the kernel does, so that none of them looks at
    // the clock of a kernel that is gone.
    for (auto& keyboard : keyboards_)
        keyboard->plugged->Keyboard().Disconnect();
    hostkernel::Settle();
    hostkernel::Stop();
    keyboards_.clear();
}

uint64_t World::NowMs() const {
    return hostkernel::Now() / 10000;
}

void World::AdvanceMs(uint32_t milliseconds) {
    hostkernel::AdvanceClockMs(milliseconds);
}

void World::Settle() {
    hostkernel::Settle();
}

World::Keyboard* World::Plugged(const std::string& name) {
    for (auto& keyboard : keyboards_) {
        if (keyboard->name == name && keyboard->plugged->IsPlugged())
            return keyboard.get();
    }
    return nullptr;
}

World::PlugResult World::Plug(const std::string& name, const usbsim::KeyboardIdentity& identity) {
    auto keyboard = std::make_unique<Keyboard>();
    keyboard->name = name;
    keyboard->plugged = std::make_unique<usbsim::PluggedKeyboard>(driver_, identity);
    for (const auto& answer : answers_[name]) {
        keyboard->plugged->Keyboard().SetAnswer(answer.first, answer.second.value,
                                                answer.second.delayMs);
    }
    usbsim::PluggedKeyboard& plugged = *keyboard->plugged;
    keyboards_.push_back(std::move(keyboard));
    usbsim::PluggedKeyboard::Outcome outcome = plugged.Plug();
    return PlugResult{outcome.status, outcome.stage, plugged.ControlDeviceNumber()};
}

void World::Unplug(const std::string& name) {
    if (Keyboard* keyboard = Plugged(name))
        keyboard->plugged->Unplug();
}

World::PlugResult World::Stop(const std::string& name) {
    Keyboard* keyboard = Plugged(name);
    usbsim::PluggedKeyboard::Outcome outcome = keyboard->plugged->Stop();
    return PlugResult{outcome.status, outcome.stage, -1};
}

World::PlugResult World::Restart(const std::string& name) {
    Keyboard* keyboard = Plugged(name);
    usbsim::PluggedKeyboard::Outcome outcome = keyboard->plugged->Restart();
    return PlugResult{outcome.status, outcome.stage, -1};
}

World::PlugResult World::Disable(const std::string& name) {
    Keyboard* keyboard = Plugged(name);
    usbsim::PluggedKeyboard::Outcome outcome = keyboard->plugged->Disable();
    return PlugResult{outcome.status, outcome.stage, -1};
}

void World::SetAnswer(const std::string& name, uint8_t command, std::optional<uint32_t> value,
                      uint32_t delayMs) {
    if (value) {
        answers_[name][command] = Answer{*value, delayMs};
    } else {
        answers_[name].erase(command);
    }
    if (Keyboard* keyboard = Plugged(name))
        keyboard->plugged->Keyboard().SetAnswer(command, value, delayMs);
}

NTSTATUS World::Open(const std::string& client, int controlDevice) {
    auto handle = std::make_shared<hostkernel::UserHandle>();
    NTSTATUS status = hostkernel::UserHandle::Open(
        L"\\\\.\\OvtsMelodixSymLk#" + std::to_wstring(controlDevice), handle.get());
    clients_[client] = handle;
    return status;
}

void World::Close(const std::string& client) {
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second->IsOpen())
        it->second->Close();
}

void World::CancelIo(const std::string& client) {
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second->IsOpen())
        it->second->CancelIo();
}

std::shared_ptr<hostkernel::UserHandle> World::Handle(const std::string& client) const {
    auto it = clients_.find(client);
    return it == clients_.end() ? nullptr : it->second;
}

usbsim::KeyboardModel& World::Buttons(const std::string& name) {
    return Plugged(name)->plugged->Keyboard().Model();
}

bool World::Send(const std::string& name, const std::vector<uint8_t>& report) {
    Keyboard* keyboard = Plugged(name);
    return keyboard != nullptr && keyboard->plugged->Keyboard().SendReport(report);
}

namespace {

template <typename T> std::vector<T> Since(const std::vector<T>& all, size_t& seen) {
    std::vector<T> fresh(all.begin() + static_cast<std::ptrdiff_t>(std::min(seen, all.size())),
                         all.end());
    seen = all.size();
    return fresh;
}

} // namespace

std::vector<World::KeyboardNews> World::TakeKeyboardNews() {
    std::vector<KeyboardNews> news;
    for (auto& keyboard : keyboards_) {
        usbsim::VirtualKeyboard& device = keyboard->plugged->Keyboard();
        device.CatchUp();
        KeyboardNews n;
        n.name = keyboard->name;
        n.commands = Since(device.CommandReports(), keyboard->commandsSeen);
        n.leds = Since(device.LedValues(), keyboard->ledsSeen);
        n.answers = Since(device.AnswersSent(), keyboard->answersSeen);
        if (usbsim::HidClassStandIn* hid = keyboard->plugged->Hid())
            n.hidTransfers = Since(hid->Reports(), keyboard->hidSeen);
        news.push_back(std::move(n));
    }
    return news;
}

std::vector<bool> World::TakeInterfaceChanges() {
    std::vector<bool> changes;
    std::wstring history = hostkernel::DeviceInterfaceHistory();
    for (size_t at = interfaceHistorySeen_; at < history.size();) {
        size_t end = history.find(L'\n', at);
        if (end == std::wstring::npos)
            break;
        changes.push_back(history[at] == L'+');
        at = end + 1;
        interfaceHistorySeen_ = at;
    }
    return changes;
}

std::vector<World::ControlDeviceChange> World::TakeControlDeviceChanges() {
    std::vector<ControlDeviceChange> changes;
    for (int number = 0; number <= static_cast<int>(OVTM_MAX_CONTROL_DEVICES); ++number) {
        bool present = usbsim::ControlDeviceExists(number);
        if (present == (controlDevices_.count(number) != 0))
            continue;
        changes.push_back({number, present});
        if (present) {
            controlDevices_.insert(number);
        } else {
            controlDevices_.erase(number);
        }
    }
    return changes;
}

} // namespace scenario
