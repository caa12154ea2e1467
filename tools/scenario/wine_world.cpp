// The Wine tier under the scenario runner: keyboards on the bench's virtual USB bus, clients'
// handles on the real filter's control devices, and how long the world waits for a step's
// effects to arrive.
#include "wine_world.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "ovtm_control.h"
#include "ovtm_device_protocol.h"
#include "ovtm_identity.h"

extern "C" NTSYSAPI LONG NTAPI RtlGetLastNtStatus(void);

namespace scenario {
namespace {

// A step has come to rest once nothing new happened for this long (real time). Plugging and
// unplugging take longer: the device-interface notifications travel through Wine's PnP service.
constexpr auto kQuiet = std::chrono::milliseconds(40);
constexpr auto kQuietAfterPnp = std::chrono::milliseconds(300);
// No step waits longer than this for its effects.
constexpr auto kSettleLimit = std::chrono::seconds(5);
// How long a call may take to come back before it counts as waiting inside the driver.
constexpr DWORD kCallLimitMs = 2000;
// At the end, how long calls may take to end once cancelled (a query waits up to 500 ms).
constexpr DWORD kEndingLimitMs = 5000;
constexpr auto kPollInterval = std::chrono::milliseconds(3);
// A request that ends during the step that sent it, or during a step that ends no other
// request, ended by a timer of the driver (on the host tier nothing else ends a request then):
// it is shown no earlier than the scenario time of its issue plus the real time it took since,
// less this much: a timer starts after the call began, but on a busy machine the request
// reaches the driver, and its end the caller, a good while late. In effect such an end shows
// in the first wait that reaches it.
constexpr int64_t kTimerSlackMs = 200;
constexpr size_t kLogBatch = 256;

constexpr uint32_t kStatusUnsuccessful = 0xC0000001u;

const GUID kInterfaceClass = OVTM_INTERFACE_GUID_INIT;

} // namespace

WineWorld::WineWorld() : began_(std::chrono::steady_clock::now()) {
    if (!bus_.IsOpen()) {
        error_ = "cannot reach the virtual USB bus: " + bus_.LastError();
        return;
    }
    busLog_ = CreateFileW(VBUS_PATH_W, GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (busLog_ == INVALID_HANDLE_VALUE) {
        error_ = "cannot open the virtual USB bus for its logs";
        return;
    }
    interfaces_ = std::make_unique<InterfaceWatch>(kInterfaceClass);
    if (!interfaces_->Error().empty()) {
        error_ = interfaces_->Error();
        return;
    }
    // Control devices of keyboards that other programs plugged in are not the scenario's.
    for (int number = 0; number <= static_cast<int>(OVTM_MAX_CONTROL_DEVICES); ++number) {
        if (ovtm::wine::ControlDeviceExists(number))
            controlDevices_.insert(number);
    }
}

WineWorld::~WineWorld() {
    Finish();
    if (busLog_ != INVALID_HANDLE_VALUE)
        CloseHandle(busLog_);
}

std::vector<std::string> WineWorld::CannotShow() const {
    return {"verifier lines (Wine's kernel does not check the driver's rules as the host "
            "kernel's verifier does)"};
}

uint64_t WineWorld::NowMs() const {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - began_)
                                     .count());
}

// Real time passes. Whatever happens meanwhile is shown as it comes (each batch once it has
// come to rest), and what was held back is shown once the scenario's time reaches it.
void WineWorld::Pass(uint32_t milliseconds, bool, const std::function<void()>& observe) {
    NextStep(true); // while the script waits, only the driver's timers end requests
    auto start = std::chrono::steady_clock::now();
    uint64_t from = scenarioMs_;
    uint64_t to = from + milliseconds;
    for (;;) {
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
        scenarioMs_ = std::min<uint64_t>(to, from + static_cast<uint64_t>(elapsed));
        if (Poll())
            observe();
        if (scenarioMs_ >= to)
            break;
        std::this_thread::sleep_for(kPollInterval);
    }
    // What came due at the very end (a driver's timer fires a little late) shows here too.
    observe();
}

// Waits until nothing new has happened for a while: the effects of a step (reports passed up,
// requests completed, commands sent to the keyboard, devices coming and going) arrive from
// other threads and processes, each after its own delay.
void WineWorld::Settle() {
    auto quiet = afterPnp_ ? kQuietAfterPnp : kQuiet;
    afterPnp_ = false;
    auto now = std::chrono::steady_clock::now();
    auto limit = now + kSettleLimit;
    auto lastNews = now;
    for (;;) {
        bool fresh = Poll();
        now = std::chrono::steady_clock::now();
        if (fresh)
            lastNews = now;
        if (now - lastNews >= quiet || now >= limit)
            return;
        std::this_thread::sleep_for(kPollInterval);
    }
}

WineWorld::Keyboard* WineWorld::Plugged(const std::string& name) {
    for (auto& keyboard : keyboards_) {
        if (keyboard->name == name && keyboard->plugged)
            return keyboard.get();
    }
    return nullptr;
}

PlugResult WineWorld::Plug(const std::string& name, const usbsim::KeyboardIdentity& identity) {
    ovtm::wine::KeyboardSpec spec;
    spec.vendor = identity.VendorId;
    spec.product = identity.ProductId;
    spec.revision = identity.Revision;
    spec.twoInterfaces = identity.Shape == usbsim::InterfaceShape::KeyboardAndMusic;
    afterPnp_ = true;
    NextStep();
    int id = bus_.Plug(spec);
    auto keyboard = std::make_unique<Keyboard>();
    keyboard->name = name;
    keyboard->news.name = name;
    PlugResult result;
    if (id > 0) {
        keyboard->id = id;
        keyboard->plugged = true;
        keyboard->controlDevice = bus_.ControlDeviceNumber(id);
        result.controlDevice = keyboard->controlDevice;
        ApplyAnswers(*keyboard);
    } else if (bus_.FailedKeyboard() > 0) {
        // The stack's start failed and the bus removed it again, as PnP does.
        keyboard->id = bus_.FailedKeyboard();
        std::optional<ovtm::wine::KeyboardState> state = bus_.State(keyboard->id);
        result.status = state ? static_cast<uint32_t>(state->startStatus) : kStatusUnsuccessful;
        result.stage = state && state->addFailed ? "device add" : "start";
    } else {
        std::fprintf(stderr, "ovtm-scenario: plugging keyboard %s: %s\n", name.c_str(),
                     bus_.LastError().c_str());
        result.status = kStatusUnsuccessful;
        result.stage = "plug";
    }
    keyboards_.push_back(std::move(keyboard));
    return result;
}

void WineWorld::Unplug(const std::string& name) {
    Keyboard* keyboard = Plugged(name);
    if (keyboard == nullptr)
        return;
    NextStep();
    afterPnp_ = true;
    PollLog(*keyboard);         // what it did before it went
    keyboard->expected.clear(); // an unplugged keyboard owes no answers
    keyboard->answerInFlight.reset();
    if (!bus_.Unplug(keyboard->id)) {
        std::fprintf(stderr, "ovtm-scenario: unplugging keyboard %s: %s\n", name.c_str(),
                     bus_.LastError().c_str());
    }
    keyboard->plugged = false;
}

// The rule holds for the name, and the bus answers by it from its own thread, in real time; a
// query command that reaches the keyboard later is answered by the rule as it is then.
void WineWorld::SetAnswer(const std::string& name, uint8_t command, std::optional<uint32_t> value,
                          uint32_t delayMs) {
    NextStep(true);
    if (value) {
        answers_[name][command] = Answer{*value, delayMs};
    } else {
        answers_[name].erase(command);
    }
    if (Keyboard* keyboard = Plugged(name))
        ApplyAnswers(*keyboard);
}

void WineWorld::ApplyAnswers(const Keyboard& keyboard) {
    const auto& rules = answers_[keyboard.name];
    for (uint8_t command : {uint8_t(OVTM_QUERY_C3), uint8_t(OVTM_QUERY_C4)}) {
        auto rule = rules.find(command);
        bool set = rule == rules.end() ? bus_.SetNoAnswer(keyboard.id, command)
                                       : bus_.SetAnswer(keyboard.id, command, rule->second.value,
                                                        rule->second.delayMs);
        if (!set) {
            std::fprintf(stderr, "ovtm-scenario: keyboard %s's answers: %s\n",
                         keyboard.name.c_str(), bus_.LastError().c_str());
        }
    }
}

void WineWorld::NextStep(bool quiet) {
    auto now = std::chrono::steady_clock::now();
    stepIsQuiet_ = quiet;
    stepBegan_ = now;
    for (Issued& issued : requests_) {
        if (!issued.ownStepOver) {
            issued.ownStepOver = true;
            issued.ownStepEnded = now;
        }
    }
}

uint32_t WineWorld::Open(const std::string& client, int controlDevice) {
    NextStep(true);
    std::wstring path = L"\\\\.\\OvtsMelodixSymLk#" + std::to_wstring(controlDevice);
    HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    uint32_t status = 0;
    if (handle == INVALID_HANDLE_VALUE)
        status = static_cast<uint32_t>(RtlGetLastNtStatus());
    clients_[client] = Client{handle, controlDevice};
    return status;
}

void WineWorld::Close(const std::string& client) {
    NextStep();
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second.handle != INVALID_HANDLE_VALUE) {
        CloseHandle(it->second.handle);
        it->second.handle = INVALID_HANDLE_VALUE;
    }
}

// Every request of the handle, whichever thread sent it, as the script's client is one handle.
void WineWorld::CancelIo(const std::string& client) {
    NextStep();
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second.handle != INVALID_HANDLE_VALUE)
        CancelIoEx(it->second.handle, nullptr);
}

std::shared_ptr<Request> WineWorld::Issue(const std::string& client, uint32_t code,
                                          std::vector<uint8_t> input, std::vector<uint8_t> output) {
    NextStep(code == IOCTL_OVTM_READ_EVENTS);
    const Client& sender = clients_.at(client);
    auto request = std::make_shared<WineRequest>(sender.handle, code, std::move(input),
                                                 std::move(output), kCallLimitMs);
    Issued issued;
    issued.request = request;
    issued.controlDevice = sender.controlDevice;
    issued.code = code;
    issued.issuedMs = scenarioMs_;
    requests_.push_back(issued);
    if (request->HowItStarted() == Request::Start::Done) {
        // An answer that ended it is held back until its time, and so is the request's end.
        for (auto& keyboard : keyboards_)
            PollLog(*keyboard);
        Issued& sent = requests_.back();
        if (sent.holdUntil && *sent.holdUntil > scenarioMs_) {
            request->EndedLater();
        } else {
            request->Show();
            sent.shown = true;
        }
    }
    return request;
}

usbsim::KeyboardModel& WineWorld::Buttons(const std::string& name) {
    return Plugged(name)->model;
}

bool WineWorld::Send(const std::string& name, const std::vector<uint8_t>& report) {
    NextStep();
    Keyboard* keyboard = Plugged(name);
    if (keyboard == nullptr || !bus_.SendReport(keyboard->id, report))
        return false;
    keyboard->ownSends.push_back(report);
    return true;
}

std::vector<VBUS_LOG_ENTRY> WineWorld::ReadLog(int keyboard, size_t from) {
    std::vector<VBUS_LOG_ENTRY> all;
    for (;;) {
        std::vector<VBUS_LOG_ENTRY> batch(kLogBatch);
        VBUS_LOG_QUERY query{static_cast<unsigned long>(keyboard),
                             static_cast<unsigned long>(from + all.size())};
        DWORD returned = 0;
        if (!DeviceIoControl(busLog_, IOCTL_VBUS_READ_LOG, &query, sizeof(query), batch.data(),
                             static_cast<DWORD>(batch.size() * sizeof(VBUS_LOG_ENTRY)), &returned,
                             nullptr)) {
            return all;
        }
        size_t count = returned / sizeof(VBUS_LOG_ENTRY);
        all.insert(all.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(count));
        if (count < kLogBatch)
            return all;
    }
}

// What the keyboard received and sent, and what its HID stack got back. The reports the script
// sent are left out (the runner has shown them); an answer to a query, and the HID stack's
// receipt of it, are held back until the scenario's time reaches the answer's due time.
bool WineWorld::PollLog(Keyboard& keyboard) {
    if (keyboard.id <= 0)
        return false;
    std::vector<VBUS_LOG_ENTRY> entries = ReadLog(keyboard.id, keyboard.logSeen);
    keyboard.logSeen += entries.size();
    for (const VBUS_LOG_ENTRY& e : entries) {
        std::vector<uint8_t> bytes(e.Bytes, e.Bytes + std::min<size_t>(e.Length, VBUS_MAX_REPORT));
        switch (e.Kind) {
        case VBUS_LOG_COMMAND: {
            keyboard.news.commands.push_back(bytes);
            bool query = bytes.size() >= 3 && bytes[0] == OVTM_REPORT_COMMAND &&
                         bytes[1] == OVTM_COMMAND_KIND &&
                         (bytes[2] == OVTM_QUERY_C3 || bytes[2] == OVTM_QUERY_C4);
            auto rules = answers_.find(keyboard.name);
            if (query && keyboard.plugged && rules != answers_.end()) {
                auto rule = rules->second.find(bytes[2]);
                if (rule != rules->second.end()) {
                    keyboard.expected.push_back(
                        {scenarioMs_ + rule->second.delayMs,
                         usbsim::KeyboardModel::Reply(bytes[2], rule->second.value)});
                }
            }
            break;
        }
        case VBUS_LOG_LED:
            if (!bytes.empty())
                keyboard.news.leds.push_back(bytes[0]);
            break;
        case VBUS_LOG_DEVICE_SENT: {
            if (!keyboard.ownSends.empty() && keyboard.ownSends.front() == bytes) {
                keyboard.ownSends.pop_front();
                break;
            }
            DueAnswer answer{scenarioMs_, bytes};
            if (!keyboard.expected.empty()) {
                answer.dueMs = std::max(scenarioMs_, keyboard.expected.front().dueMs);
                keyboard.expected.pop_front();
            }
            keyboard.held.push_back({answer.dueMs, true, bytes, {}});
            if (bytes.size() >= 2)
                HoldQueries(keyboard, bytes[1], answer.dueMs);
            keyboard.answerInFlight = answer;
            break;
        }
        case VBUS_LOG_HID_REPORT: {
            HidTransfer transfer{e.Endpoint, static_cast<uint32_t>(e.Status), bytes};
            if (keyboard.answerInFlight && keyboard.answerInFlight->report == bytes) {
                keyboard.held.push_back({keyboard.answerInFlight->dueMs, false, {}, transfer});
                keyboard.answerInFlight.reset();
            } else {
                keyboard.news.hidTransfers.push_back(std::move(transfer));
            }
            break;
        }
        default:
            break;
        }
    }
    return !entries.empty();
}

void WineWorld::HoldQueries(const Keyboard& keyboard, uint8_t command, uint64_t dueMs) {
    uint32_t code = command == OVTM_QUERY_C3 ? IOCTL_OVTM_QUERY_C3 : IOCTL_OVTM_QUERY_C4;
    for (Issued& issued : requests_) {
        if (!issued.shown && issued.code == code && issued.controlDevice == keyboard.controlDevice)
            issued.holdUntil = std::max(issued.holdUntil.value_or(0), dueMs);
    }
}

bool WineWorld::ReleaseHeld() {
    bool released = false;
    for (auto& keyboard : keyboards_) {
        auto due = [this](const Held& h) { return h.dueMs <= scenarioMs_; };
        for (const Held& h : keyboard->held) {
            if (!due(h))
                continue;
            if (h.isAnswer) {
                keyboard->news.answers.push_back(h.bytes);
            } else {
                keyboard->news.hidTransfers.push_back(h.hid);
            }
            released = true;
        }
        keyboard->held.erase(std::remove_if(keyboard->held.begin(), keyboard->held.end(), due),
                             keyboard->held.end());
    }
    return released;
}

// A request that ended during its own step, or during a quiet step, ended by a timer: it is
// shown once the scenario's time reaches the time it took (less a margin). One that ended
// otherwise is shown at once, unless an answer holds it.
bool WineWorld::ShowEndedRequests() {
    bool shown = false;
    for (Issued& issued : requests_) {
        if (issued.shown || !issued.request->Finished())
            continue;
        auto finished = issued.request->FinishedAt();
        bool ownStep = !issued.ownStepOver || finished < issued.ownStepEnded;
        bool quietStep = stepIsQuiet_ && finished >= stepBegan_;
        if (!issued.holdUntil && (ownStep || quietStep)) {
            auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                            finished - issued.request->IssuedAt())
                            .count();
            issued.holdUntil =
                issued.issuedMs + static_cast<uint64_t>(std::max<int64_t>(1, took - kTimerSlackMs));
        }
        if (issued.holdUntil && *issued.holdUntil > scenarioMs_)
            continue;
        issued.request->Show();
        issued.shown = true;
        shown = true;
    }
    return shown;
}

bool WineWorld::Poll() {
    bool fresh = false;
    for (auto& keyboard : keyboards_)
        fresh = PollLog(*keyboard) || fresh;
    fresh = ReleaseHeld() || fresh;
    fresh = ShowEndedRequests() || fresh;
    std::vector<bool> changes = interfaces_->Take();
    if (!changes.empty()) {
        interfaceChanges_.insert(interfaceChanges_.end(), changes.begin(), changes.end());
        fresh = true;
    }
    for (int number = 0; number <= static_cast<int>(OVTM_MAX_CONTROL_DEVICES); ++number) {
        bool present = ovtm::wine::ControlDeviceExists(number);
        if (present == (controlDevices_.count(number) != 0))
            continue;
        controlChanges_.push_back({number, present});
        if (present) {
            controlDevices_.insert(number);
        } else {
            controlDevices_.erase(number);
        }
        fresh = true;
    }
    return fresh;
}

std::vector<KeyboardNews> WineWorld::TakeKeyboardNews() {
    Poll();
    std::vector<KeyboardNews> news;
    for (auto& keyboard : keyboards_) {
        news.push_back(std::move(keyboard->news));
        keyboard->news = KeyboardNews();
        keyboard->news.name = keyboard->name;
    }
    return news;
}

std::vector<bool> WineWorld::TakeInterfaceChanges() {
    Poll();
    std::vector<bool> taken;
    taken.swap(interfaceChanges_);
    return taken;
}

std::vector<ControlDeviceChange> WineWorld::TakeControlDeviceChanges() {
    std::vector<ControlDeviceChange> taken;
    taken.swap(controlChanges_);
    return taken;
}

// Cancels every request, closes every handle, and gives the requests' threads time to see
// their requests end. A request that does not end is left in flight, never freed.
bool WineWorld::WindDown() {
    for (auto& client : clients_) {
        if (client.second.handle != INVALID_HANDLE_VALUE)
            CancelIoEx(client.second.handle, nullptr);
    }
    auto deadline = GetTickCount64() + kEndingLimitMs;
    bool ended = true;
    for (Issued& issued : requests_) {
        ULONGLONG now = GetTickCount64();
        DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (!issued.request->WaitDone(left)) {
            issued.request->Abandon();
            ended = false;
        }
    }
    for (auto& client : clients_) {
        if (client.second.handle != INVALID_HANDLE_VALUE)
            CloseHandle(client.second.handle);
        client.second.handle = INVALID_HANDLE_VALUE;
    }
    return ended;
}

// The bus is left as the scenario found it: every keyboard it plugged in is out again.
void WineWorld::Finish() {
    for (auto& keyboard : keyboards_) {
        if (keyboard->plugged) {
            bus_.Unplug(keyboard->id);
            keyboard->plugged = false;
        }
    }
}

std::unique_ptr<World> MakeWorld() {
    return std::make_unique<WineWorld>();
}

} // namespace scenario
