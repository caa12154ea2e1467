// A MIDI application in a second process: opens the driver's input with a function callback,
// says so through a named event, listens until told to finish (and until something was
// played), asks for the state report, prints every message it received, one per line, and
// closes.
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include <cstdio>
#include <cstdlib>

#include "midi_client.h"

using namespace ovtm::midi_test;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: second_process_client <device id>\n");
        return 2;
    }
    HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"OvtmMidiTestChildOpened");
    HANDLE finish = OpenEventW(SYNCHRONIZE, FALSE, L"OvtmMidiTestChildFinish");
    if (opened == nullptr || finish == nullptr) {
        std::printf("events missing\n");
        return 2;
    }
    MidiClient client(CallbackKind::Function);
    const MMRESULT result = client.Open(static_cast<UINT>(std::atoi(argv[1])));
    std::printf("open %u\n", result);
    SetEvent(opened);
    WaitForSingleObject(finish, 20000);
    if (result == MMSYSERR_NOERROR) {
        // This process's reader runs on its own: give it time to deliver what was played.
        const ULONGLONG deadline = GetTickCount64() + 3000;
        bool played = false;
        while (!played && GetTickCount64() < deadline) {
            for (const Received& received : client.Messages()) {
                played = played || received.message == MIM_DATA;
            }
            Sleep(10);
        }
        midiInMessage(client.Handle(), DRVM_USER, 1, 0);
        for (const Received& received : client.Messages()) {
            std::printf("%s\n", Describe(received).c_str());
        }
        std::printf("close %u\n", client.Close());
    }
    std::fflush(stdout);
    CloseHandle(opened);
    CloseHandle(finish);
    return 0;
}
