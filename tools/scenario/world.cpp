// Bringing the host tier up for a scenario and down again, and the world's primitive actions.
#include "world.h"

#include <hostkernel/kernel.h>

#include "filter_callbacks.h"
#include "ovtm_control.h"
#include "ovtm_identity.h"
#include "status_names.h"

namespace scenario {
namespace {

constexpr auto kPnpLimit = std::chrono::seconds(10);
// The class request that sets the typing keyboard's lock-key lights (HID SET_REPORT).
constexpr UCHAR kSetReport = 0x09;

NTSTATUS StartDevice(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    hostkernel::PendingIo io = hostkernel::SendIrp(top, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr, nullptr);
    ObDereferenceObject(top);
    return io.Wait(kPnpLimit) ? io.Status() : STATUS_IO_TIMEOUT;
}

} // namespace

World::World() {
    hostkernel::Start(hostkernel::ClockMode::Test);
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = hostkernel::LoadDriver(OVTM_FILTER_SERVICE_W, DriverEntry, &status);
    if (driver_ == nullptr) {
        error_ = "the filter's DriverEntry failed with " + StatusName(static_cast<uint32_t>(status));
        return;
    }
    keyboard_ = std::make_unique<hostkernel::testing::StubUsbDevice>();
    {
        hostkernel::DriverScope scope(driver_);
        status = driver_->DriverExtension->AddDevice(driver_, keyboard_->Pdo());
    }
    if (!NT_SUCCESS(status)) {
        error_ = "the filter's device add failed with " + StatusName(static_cast<uint32_t>(status));
        return;
    }
    status = StartDevice(keyboard_->Pdo());
    if (!NT_SUCCESS(status)) {
        error_ = "the keyboard did not start: " + StatusName(static_cast<uint32_t>(status));
        return;
    }
    hid_ = std::make_unique<HidStack>(keyboard_->TopOfStack());
    status = hid_->Enumerate();
    if (!NT_SUCCESS(status)) {
        error_ = "the HID stack could not set the keyboard up: " + StatusName(static_cast<uint32_t>(status));
        return;
    }
    TeachPipesIfUnknown();
    hid_->Listen();
    Settle();
}

// The filter learns its pipes from the configuration selection that passed through it. A filter
// that has not (yet) done so would translate nothing, and every scenario would show only that;
// so the runner hands it the handles the selection returned and says so on the error stream.
void World::TeachPipesIfUnknown() {
    PFILTER_EXTENSION extension = FilterGetExtension(WdfWdmDeviceGetWdfDeviceHandle(keyboard_->Pdo()->AttachedDevice));
    if (extension->MusicInPipe == nullptr) {
        extension->MusicInPipe = hid_->MusicPipe();
        warnings_.push_back("the filter did not learn the music pipe from the configuration selection; "
                            "the runner set it");
    }
    if (extension->CommandOutPipe == nullptr) {
        extension->CommandOutPipe = hid_->CommandPipe();
        warnings_.push_back("the filter did not learn the command pipe from the configuration selection; "
                            "the runner set it");
    }
}

World::~World() {
    for (auto& client : clients_) {
        if (client.second->IsOpen()) client.second->Close();
    }
    hostkernel::Settle();
    hostkernel::Stop();
    hid_.reset();
    keyboard_.reset();
}

uint64_t World::NowMs() const { return hostkernel::Now() / 10000; }

void World::AdvanceMs(uint32_t milliseconds) { hostkernel::AdvanceClockMs(milliseconds); }

void World::Settle() { hostkernel::Settle(); }

NTSTATUS World::Open(const std::string& client) {
    auto handle = std::make_shared<hostkernel::UserHandle>();
    NTSTATUS status = hostkernel::UserHandle::Open(OVTM_CONTROL_PATH_W, handle.get());
    clients_[client] = handle;
    return status;
}

void World::Close(const std::string& client) {
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second->IsOpen()) it->second->Close();
}

void World::CancelIo(const std::string& client) {
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second->IsOpen()) it->second->CancelIo();
}

std::shared_ptr<hostkernel::UserHandle> World::Handle(const std::string& client) const {
    auto it = clients_.find(client);
    return it == clients_.end() ? nullptr : it->second;
}

bool World::Send(const std::vector<uint8_t>& report) {
    return keyboard_->CompleteTransfer(OVTM_ENDPOINT_MUSIC_IN, report);
}

std::vector<std::vector<uint8_t>> World::NewCommands() {
    std::vector<std::vector<uint8_t>> fresh;
    auto transfers = keyboard_->OutTransfers();
    for (size_t i = commandsSeen_; i < transfers.size(); ++i) {
        if (transfers[i].endpoint == OVTM_ENDPOINT_COMMAND_OUT) fresh.push_back(transfers[i].bytes);
    }
    commandsSeen_ = transfers.size();
    return fresh;
}

std::vector<std::vector<uint8_t>> World::NewLedReports() {
    std::vector<std::vector<uint8_t>> fresh;
    auto requests = keyboard_->ControlRequests();
    for (size_t i = controlRequestsSeen_; i < requests.size(); ++i) {
        if (requests[i].function == URB_FUNCTION_CLASS_INTERFACE && requests[i].request == kSetReport) {
            fresh.push_back(requests[i].bytes);
        }
    }
    controlRequestsSeen_ = requests.size();
    return fresh;
}

} // namespace scenario
