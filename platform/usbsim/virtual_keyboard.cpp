// The virtual keyboard: input reports through the bus side, what it received read back in
// keyboard terms, and its own thread that answers queries when their time has come.
#include "virtual_keyboard.h"

#include <hostkernel/kernel.h>

#include <usb.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "ovtm_device_protocol.h"
#include "ovtm_identity.h"

namespace usbsim {
namespace {

constexpr UCHAR kMusicIn = OVTM_ENDPOINT_MUSIC_IN;
constexpr UCHAR kTypingIn = OVTM_ENDPOINT_KEYBOARD_IN;
constexpr UCHAR kCommandOut = OVTM_ENDPOINT_COMMAND_OUT;
// While an answer waits for its time or for a transfer to carry it, the thread looks at the
// clock this often (real time): the kernel's clock gives no signal when a test moves it.
constexpr auto kClockLook = std::chrono::milliseconds(1);
constexpr auto kCatchUpLimit = std::chrono::seconds(5);
constexpr uint64_t kTicksPerMs = 10000;

} // namespace

VirtualKeyboard::VirtualKeyboard(const KeyboardIdentity& identity)
    : identity_(identity), usb_(identity.VendorId, identity.ProductId, identity.Revision) {
    usb_.SetConfigurationDescriptor(ConfigurationDescriptor(identity.Shape));
    usb_.SetUrbHandler([this](PURB urb, NTSTATUS*) { return OnUrb(urb); });
    thread_ = std::thread([this] { DeviceThread(); });
}

VirtualKeyboard::~VirtualKeyboard() {
    Disconnect();
    usb_.SetUrbHandler(nullptr);
}

void VirtualKeyboard::Disconnect() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        due_.clear();
    }
    wake_.notify_all();
    passDone_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool VirtualKeyboard::SendReport(const Report& report) {
    return usb_.CompleteTransfer(kMusicIn, report);
}

bool VirtualKeyboard::SendTypingReport(const Report& report) {
    return usb_.CompleteTransfer(kTypingIn, report);
}

void VirtualKeyboard::SetAnswer(uint8_t command, std::optional<uint32_t> value, uint32_t delayMs) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (value) {
        answers_[command] = AnswerRule{*value, delayMs};
    } else {
        answers_.erase(command);
    }
}

// Sees every URB before the bus side handles it: a query command on the command endpoint
// puts its answer on the device's schedule. The bus side still records and completes it.
bool VirtualKeyboard::OnUrb(PURB urb) {
    if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        return false;
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    if ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ||
        transfer.PipeHandle != hostkernel::testing::StubUsbDevice::PipeHandle(kCommandOut) ||
        transfer.TransferBufferLength < OVTM_COMMAND_REPORT_LENGTH) {
        return false;
    }
    const void* data = transfer.TransferBuffer;
    if (data == nullptr && transfer.TransferBufferMDL != nullptr)
        data = MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL,
                                            NormalPagePriority | MdlMappingNoExecute);
    if (data == nullptr)
        return false;
    uint8_t head[OVTM_COMMAND_REPORT_LENGTH];
    std::memcpy(head, data, sizeof(head));
    if (head[0] != OVTM_REPORT_COMMAND || head[1] != OVTM_COMMAND_KIND ||
        (head[2] != OVTM_QUERY_C3 && head[2] != OVTM_QUERY_C4)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto rule = answers_.find(head[2]);
        if (rule == answers_.end() || stopping_)
            return false;
        DueAnswer answer{hostkernel::Now() + rule->second.delayMs * kTicksPerMs,
                         KeyboardModel::Reply(head[2], rule->second.value)};
        auto at =
            std::upper_bound(due_.begin(), due_.end(), answer.due,
                             [](uint64_t due, const DueAnswer& other) { return due < other.due; });
        due_.insert(at, std::move(answer));
    }
    wake_.notify_all();
    return false;
}

// Sends, in due order, every answer whose time has come, as long as a transfer polls the
// music pipe; the rest wait on the device as a real one's interrupt endpoint would.
// The answer leaves the schedule before the lock is let go: meanwhile a disconnect may
// clear the schedule, or a new answer may take the front.
void VirtualKeyboard::SendDueAnswers(std::unique_lock<std::mutex>& lock) {
    while (!stopping_ && !due_.empty() && due_.front().due <= hostkernel::Now()) {
        DueAnswer answer = std::move(due_.front());
        due_.pop_front();
        lock.unlock();
        bool sent = usb_.CompleteTransfer(kMusicIn, answer.report);
        lock.lock();
        if (!sent) {
            // No transfer polls the pipe yet: the answer waits, still first among equals.
            if (!stopping_) {
                auto at = std::lower_bound(
                    due_.begin(), due_.end(), answer.due,
                    [](const DueAnswer& other, uint64_t due) { return other.due < due; });
                due_.insert(at, std::move(answer));
            }
            return;
        }
        sent_.push_back(std::move(answer.report));
    }
}

void VirtualKeyboard::DeviceThread() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        uint64_t asked = passesAsked_;
        SendDueAnswers(lock);
        passesDone_ = std::max(passesDone_, asked);
        passDone_.notify_all();
        auto woken = [this, asked] { return stopping_ || passesAsked_ != asked; };
        if (due_.empty()) {
            wake_.wait(lock, [&] { return woken() || !due_.empty(); });
        } else {
            wake_.wait_for(lock, kClockLook, woken);
        }
    }
}

void VirtualKeyboard::CatchUp() {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t ticket = ++passesAsked_;
    wake_.notify_all();
    passDone_.wait_for(lock, kCatchUpLimit, [&] { return passesDone_ >= ticket || stopping_; });
}

std::vector<Report> VirtualKeyboard::AnswersSent() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return sent_;
}

std::vector<Report> VirtualKeyboard::CommandReports() const {
    std::vector<Report> reports;
    for (const auto& transfer : usb_.OutTransfers()) {
        if (transfer.endpoint == kCommandOut)
            reports.push_back(transfer.bytes);
    }
    return reports;
}

std::vector<uint8_t> VirtualKeyboard::Commands() const {
    std::vector<uint8_t> codes;
    for (const Report& report : CommandReports()) {
        if (report.size() == OVTM_COMMAND_REPORT_LENGTH && report[0] == OVTM_REPORT_COMMAND &&
            report[1] == OVTM_COMMAND_KIND)
            codes.push_back(report[2]);
    }
    return codes;
}

std::vector<uint8_t> VirtualKeyboard::LedValues() const {
    std::vector<uint8_t> values;
    for (const auto& request : usb_.ControlRequests()) {
        if (request.function == URB_FUNCTION_CLASS_INTERFACE &&
            request.request == OVTM_LIGHT_REQUEST && request.value == OVTM_LIGHT_VALUE &&
            request.index == OVTM_LIGHT_INTERFACE && request.bytes.size() == OVTM_LIGHT_LENGTH) {
            values.push_back(request.bytes[0]);
        }
    }
    return values;
}

} // namespace usbsim
