// Bringing the host tier up for a scenario and down again, plugging keyboards in and out, and
// the world's primitive actions and observations.
#include "world.h"

#include <hostkernel/kernel.h>

#include <cstdio>

#include "filter_callbacks.h"
#include "ovtm_control.h"
#include "ovtm_identity.h"

namespace scenario {
namespace {

constexpr auto kPnpLimit = std::chrono::seconds(10);
// The class request that sets the typing keyboard's lock-key lights (HID SET_REPORT).
constexpr UCHAR kSetReport = 0x09;

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    hostkernel::PendingIo io = hostkernel::SendIrp(top, IRP_MJ_PNP, minor, nullptr, nullptr);
    ObDereferenceObject(top);
    return io.Wait(kPnpLimit) ? io.Status() : STATUS_IO_TIMEOUT;
}

std::wstring ControlLink(int number) {
    return L"\\DosDevices\\OvtsMelodixSymLk#" + std::to_wstring(number);
}

} // namespace

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
    hostkernel::Settle();
    hostkernel::Stop();
    current_.reset();
    unplugged_.clear();
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

World::PlugResult World::Plug(uint16_t vendorId, uint16_t productId, uint16_t revision) {
    auto keyboard = std::make_unique<Keyboard>();
    keyboard->device =
        std::make_unique<hostkernel::testing::StubUsbDevice>(vendorId, productId, revision);
    Keyboard& plugged = *keyboard;
    current_ = std::move(keyboard);
    PlugResult result;
    {
        hostkernel::DriverScope scope(driver_);
        result.status = driver_->DriverExtension->AddDevice(driver_, plugged.device->Pdo());
    }
    if (!NT_SUCCESS(result.status)) {
        result.stage = "device add";
        return result;
    }
    result.status = SendPnp(plugged.device->Pdo(), IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(result.status)) {
        result.stage = "start";
        return result;
    }
    plugged.hid = std::make_unique<HidStack>(plugged.device->TopOfStack());
    result.status = plugged.hid->Enumerate();
    if (!NT_SUCCESS(result.status)) {
        result.stage = "HID setup";
        return result;
    }
    plugged.hid->Listen();
    Settle();
    return result;
}

void World::Unplug() {
    PDEVICE_OBJECT pdo = current_->device->Pdo();
    if (pdo->AttachedDevice != nullptr) {
        SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
        SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    }
    unplugged_.push_back(std::move(current_));
    Settle();
}

void World::SetAnswer(uint8_t command, std::optional<uint32_t> value) {
    if (value) {
        answers_[command] = *value;
    } else {
        answers_.erase(command);
    }
}

std::optional<std::vector<uint8_t>>
World::AnswerTo(const std::vector<uint8_t>& commandReport) const {
    // A command report is 06 01 <command>.
    if (commandReport.size() < 3 || commandReport[0] != 0x06 || commandReport[1] != 0x01) {
        return std::nullopt;
    }
    auto it = answers_.find(commandReport[2]);
    if (it == answers_.end())
        return std::nullopt;
    return usbsim::KeyboardModel::Reply(it->first, it->second);
}

NTSTATUS World::Open(const std::string& client) {
    auto handle = std::make_shared<hostkernel::UserHandle>();
    NTSTATUS status = hostkernel::UserHandle::Open(OVTM_CONTROL_PATH_W, handle.get());
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

bool World::Send(const std::vector<uint8_t>& report) {
    return current_ && current_->device->CompleteTransfer(OVTM_ENDPOINT_MUSIC_IN, report);
}

std::vector<HidStack::Received> World::TakeHidTransfers() {
    std::vector<HidStack::Received> received;
    for (auto& keyboard : unplugged_) {
        if (!keyboard->hid)
            continue;
        for (auto& r : keyboard->hid->Collect())
            received.push_back(std::move(r));
    }
    if (current_ && current_->hid) {
        for (auto& r : current_->hid->Collect())
            received.push_back(std::move(r));
    }
    return received;
}

std::vector<std::vector<uint8_t>> World::TakeCommands() {
    std::vector<std::vector<uint8_t>> fresh;
    if (!current_)
        return fresh;
    auto transfers = current_->device->OutTransfers();
    for (size_t i = current_->commandsSeen; i < transfers.size(); ++i) {
        if (transfers[i].endpoint == OVTM_ENDPOINT_COMMAND_OUT)
            fresh.push_back(transfers[i].bytes);
    }
    current_->commandsSeen = transfers.size();
    return fresh;
}

std::vector<std::vector<uint8_t>> World::TakeLedReports() {
    std::vector<std::vector<uint8_t>> fresh;
    if (!current_)
        return fresh;
    auto requests = current_->device->ControlRequests();
    for (size_t i = current_->controlRequestsSeen; i < requests.size(); ++i) {
        if (requests[i].function == URB_FUNCTION_CLASS_INTERFACE &&
            requests[i].request == kSetReport) {
            fresh.push_back(requests[i].bytes);
        }
    }
    current_->controlRequestsSeen = requests.size();
    return fresh;
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
        bool present = hostkernel::SymbolicLinkExists(ControlLink(number));
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
