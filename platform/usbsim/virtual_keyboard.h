// The keyboard as a USB device below the filter, spoken to in keys: it presses and releases
// buttons and music keys (reports on the music pipe), records the command reports and lock-key
// light requests it receives, and answers the two query commands with report 5 from its own
// thread, after a delay on the kernel's clock, with values a test sets (or never).
#ifndef OVTM_USBSIM_VIRTUAL_KEYBOARD_H
#define OVTM_USBSIM_VIRTUAL_KEYBOARD_H

#include <wdm.h>

#include <kmdf_testing/stub_usb_device.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "keyboard_model.h"
#include "usb_descriptors.h"

namespace usbsim {

class VirtualKeyboard {
  public:
    explicit VirtualKeyboard(const KeyboardIdentity& identity = KeyboardIdentity());
    // Stops the device's thread; then the device goes, failing transfers still pending.
    ~VirtualKeyboard();
    VirtualKeyboard(const VirtualKeyboard&) = delete;
    VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;

    const KeyboardIdentity& Identity() const { return identity_; }
    PDEVICE_OBJECT Pdo() const { return usb_.Pdo(); }
    PDEVICE_OBJECT TopOfStack() const { return usb_.TopOfStack(); }
    // The bus side underneath, for what keys cannot say (raw transfers, failures, counts).
    hostkernel::testing::StubUsbDevice& Usb() { return usb_; }

    // Input. Each sends one report on the music pipe and is true if a transfer of the layer
    // above was waiting for it; false means nobody polls the pipe and the report is lost.
    bool PressButton(uint8_t pressCode) { return SendReport(model_.PressButton(pressCode)); }
    bool ReleaseButton(uint8_t pressCode) { return SendReport(model_.ReleaseButton(pressCode)); }
    bool PressButton(NamedButton b) { return PressButton(static_cast<uint8_t>(b)); }
    bool ReleaseButton(NamedButton b) { return ReleaseButton(static_cast<uint8_t>(b)); }
    bool PressKey(uint8_t key, uint8_t velocity) {
        return SendReport(KeyboardModel::PressKey(key, velocity));
    }
    bool ReleaseKey(uint8_t key, uint8_t velocity) {
        return SendReport(KeyboardModel::ReleaseKey(key, velocity));
    }
    bool SendReport(const Report& report);
    // A report of the typing keyboard on endpoint 0x81.
    bool SendTypingReport(const Report& report);
    KeyboardModel& Model() { return model_; }

    // How the keyboard answers query command 0xC3 or 0xC4 from now on: report 5 with this
    // value, `delayMs` of kernel time after the command arrived; nothing means it never answers.
    void SetAnswer(uint8_t command, std::optional<uint32_t> value, uint32_t delayMs = 0);
    // Returns once the device's thread has sent every answer due by the kernel's clock now (an
    // answer waits on the device while no transfer of the layer above polls the music pipe).
    void CatchUp();
    // The keyboard is gone: answers not yet sent are dropped and its thread ends, so that it
    // no longer looks at the kernel's clock. Commands after this are still recorded.
    void Disconnect();
    // Answers the device's thread has sent, in order.
    std::vector<Report> AnswersSent() const;

    // Output the keyboard received, in order: every transfer on the command endpoint 0x03, the
    // command codes of well-formed command reports (06 01 <code>), and the values of lock-key
    // light requests (bit 0 Num Lock, bit 1 Caps Lock, bit 2 Scroll Lock).
    std::vector<Report> CommandReports() const;
    std::vector<uint8_t> Commands() const;
    std::vector<uint8_t> LedValues() const;

  private:
    struct DueAnswer {
        uint64_t due; // kernel time, 100 ns units
        Report report;
    };
    struct AnswerRule {
        uint32_t value;
        uint32_t delayMs;
    };

    bool OnUrb(PURB urb);
    void DeviceThread();
    void SendDueAnswers(std::unique_lock<std::mutex>& lock);

    KeyboardIdentity identity_;
    hostkernel::testing::StubUsbDevice usb_;
    KeyboardModel model_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable passDone_;
    std::map<uint8_t, AnswerRule> answers_;
    std::deque<DueAnswer> due_; // ordered by due time
    std::vector<Report> sent_;
    uint64_t passesAsked_ = 0;
    uint64_t passesDone_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace usbsim

#endif
