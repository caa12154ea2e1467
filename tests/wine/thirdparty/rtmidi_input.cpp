// LibraryInput over RtMidi's WinMM backend, used as its documentation shows: an RtMidiIn for the
// Windows multimedia API, a port found by name, a callback for the messages, errors through the
// error callback instead of exceptions.
#include <mutex>

#include "RtMidi.h"
#include "library_input.h"

namespace ovtm::thirdparty_test {
namespace {

class RtMidiInput : public LibraryInput {
  public:
    RtMidiInput() : input_(RtMidi::WINDOWS_MM, "ovtm thirdparty test") {
        input_.setErrorCallback(&RtMidiInput::OnError, this);
    }
    ~RtMidiInput() override { input_.closePort(); }

    std::string Library() const override { return "RtMidi " + RtMidi::getVersion(); }

    std::vector<std::string> InputNames() override {
        std::vector<std::string> names;
        const unsigned count = input_.getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            names.push_back(input_.getPortName(i));
        }
        return names;
    }

    bool Open(const std::string& name, std::string* error) override {
        lastError_.clear();
        const std::vector<std::string> names = InputNames();
        for (unsigned i = 0; i < names.size(); ++i) {
            if (names[i] != name) {
                continue;
            }
            input_.setCallback(&RtMidiInput::OnMessage, this);
            // System-exclusive messages are wanted: whatever the driver sends reaches the test.
            input_.ignoreTypes(false, true, true);
            input_.openPort(i);
            if (input_.isPortOpen()) {
                return true;
            }
            input_.cancelCallback();
            *error = lastError_;
            return false;
        }
        *error = "no input named " + name;
        return false;
    }

    void Close() override {
        input_.closePort();
        input_.cancelCallback();
        sinceOpen_ = 0;
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
    // RtMidi gives each message the time since the one before, from the driver's timestamps.
    static void OnMessage(double deltaSeconds, std::vector<unsigned char>* bytes, void* self) {
        auto* input = static_cast<RtMidiInput*>(self);
        std::lock_guard<std::mutex> hold(input->lock_);
        input->sinceOpen_ += deltaSeconds * 1000.0;
        input->received_.push_back({{bytes->begin(), bytes->end()}, input->sinceOpen_});
    }

    static void OnError(RtMidiError::Type, const std::string& text, void* self) {
        static_cast<RtMidiInput*>(self)->lastError_ = text;
    }

    RtMidiIn input_;
    std::string lastError_;
    std::mutex lock_;
    std::vector<LibraryMessage> received_;
    double sinceOpen_ = 0;
};

} // namespace

std::unique_ptr<LibraryInput> MakeLibraryInput() {
    return std::make_unique<RtMidiInput>();
}

} // namespace ovtm::thirdparty_test
