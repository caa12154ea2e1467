// How the benchmark and its second MIDI client, a process of its own, meet: two named events
// (the client has opened its input; the burst is over) and a file of what it received.
#pragma once

namespace ovtm::e2e {

constexpr const wchar_t* kBurstClientOpenedEvent = L"OvtmE2eBurstClientOpened";
constexpr const wchar_t* kBurstClientFinishEvent = L"OvtmE2eBurstClientFinish";

} // namespace ovtm::e2e
