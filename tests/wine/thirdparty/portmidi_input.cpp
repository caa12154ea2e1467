// LibraryInput over PortMidi's WinMM backend, used as its documentation shows: Pm_Initialize, an
// input found by name among Pm_GetDeviceInfo's, Pm_OpenInput without a time procedure (the
// events then carry the driver's timestamps), and Pm_Read polled from a thread of its own.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "library_input.h"
#include "portmidi.h"

namespace ovtm::thirdparty_test {
namespace {

constexpr int kEventsPerRead = 64;

class PortMidiInput : public LibraryInput {
  public:
    PortMidiInput() { Pm_Initialize(); }
    ~PortMidiInput() override {
        Close();
        Pm_Terminate();
    }

    std::string Library() const override { return "PortMidi 217"; }

    std::vector<std::string> InputNames() override {
        std::vector<std::string> names;
        const int count = Pm_CountDevices();
        for (int id = 0; id < count; ++id) {
            const PmDeviceInfo* info = Pm_GetDeviceInfo(id);
            if (info != nullptr && info->input) {
                names.push_back(info->name);
            }
        }
        return names;
    }

    bool Open(const std::string& name, std::string* error) override {
        const int count = Pm_CountDevices();
        for (int id = 0; id < count; ++id) {
            const PmDeviceInfo* info = Pm_GetDeviceInfo(id);
            if (info == nullptr || !info->input || name != info->name) {
                continue;
            }
            const PmError result = Pm_OpenInput(&stream_, id, nullptr, 512, nullptr, nullptr);
            if (result != pmNoError) {
                *error = Pm_GetErrorText(result);
                if (result == pmHostError) {
                    char text[PM_HOST_ERROR_MSG_LEN] = "";
                    Pm_GetHostErrorText(text, sizeof(text));
                    *error += std::string(": ") + text;
                }
                stream_ = nullptr;
                return false;
            }
            reading_ = true;
            reader_ = std::thread([this] { ReadUntilClosed(); });
            return true;
        }
        *error = "no input named " + name;
        return false;
    }

    void Close() override {
        if (stream_ == nullptr) {
            return;
        }
        reading_ = false;
        reader_.join();
        Pm_Close(stream_);
        stream_ = nullptr;
    }

    std::vector<LibraryMessage> Received() override {
        std::lock_guard<std::mutex> hold(lock_);
        return received_;
    }

    void Clear() override {
        std::lock_guard<std::mutex> hold(lock_);
        received_.clear();
    }

  private:
    void ReadUntilClosed() {
        PmEvent events[kEventsPerRead];
        while (reading_) {
            const int count = Pm_Read(stream_, events, kEventsPerRead);
            for (int i = 0; i < count; ++i) {
                Take(events[i]);
            }
            if (count <= 0) {
                Sleep(1);
            }
        }
    }

    // A short message is one event; a system-exclusive message comes four bytes an event.
    void Take(const PmEvent& event) {
        const std::uint8_t status = static_cast<std::uint8_t>(Pm_MessageStatus(event.message));
        std::lock_guard<std::mutex> hold(lock_);
        if (status == 0xF0 || (!sysex_.empty() && status < 0x80)) {
            for (int shift = 0; shift < 32; shift += 8) {
                const std::uint8_t byte = static_cast<std::uint8_t>(event.message >> shift);
                sysex_.push_back(byte);
                if (byte == 0xF7) {
                    received_.push_back({sysex_, static_cast<double>(event.timestamp)});
                    sysex_.clear();
                    break;
                }
            }
            return;
        }
        std::size_t length = status >= 0xC0 && status < 0xE0 ? 2 : 3;
        if (status >= 0xF0) {
            length = 1;
        }
        const std::uint8_t bytes[3] = {status,
                                       static_cast<std::uint8_t>(Pm_MessageData1(event.message)),
                                       static_cast<std::uint8_t>(Pm_MessageData2(event.message))};
        received_.push_back({{bytes, bytes + length}, static_cast<double>(event.timestamp)});
    }

    PortMidiStream* stream_ = nullptr;
    std::atomic<bool> reading_{false};
    std::thread reader_;
    std::mutex lock_;
    std::vector<LibraryMessage> received_;
    std::vector<std::uint8_t> sysex_;
};

} // namespace

std::unique_ptr<LibraryInput> MakeLibraryInput() {
    return std::make_unique<PortMidiInput>();
}

} // namespace ovtm::thirdparty_test
