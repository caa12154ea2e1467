// A third-party library's MIDI listener in a process of its own: opens the keyboard's input
// through the library, says so through the named event OvtmThirdPartyListenerOpened<N>, listens
// until OvtmThirdPartyListenerFinish is set (and until the expected number of messages came, at
// most 3 seconds more), prints each message received as hex bytes, one a line, and closes.
//
//   <listener>.exe COUNT N
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "library_input.h"
#include "ovtm_control.h"

using namespace ovtm::thirdparty_test;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: %s COUNT N\n", argv[0]);
        return 2;
    }
    const std::size_t expected = std::strtoul(argv[1], nullptr, 10);
    const std::wstring openedName =
        L"OvtmThirdPartyListenerOpened" + std::to_wstring(std::strtoul(argv[2], nullptr, 10));
    HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, openedName.c_str());
    HANDLE finish = OpenEventW(SYNCHRONIZE, FALSE, L"OvtmThirdPartyListenerFinish");
    if (opened == nullptr || finish == nullptr) {
        std::printf("events missing\n");
        return 2;
    }
    std::unique_ptr<LibraryInput> input = MakeLibraryInput();
    std::string error;
    const bool open =
        input->Open(KeyboardInput(input->InputNames(), OVTM_DEVICE_NAME_TEXT), &error);
    std::printf("%s %s\n", input->Library().c_str(), open ? "open" : ("failed: " + error).c_str());
    std::fflush(stdout);
    SetEvent(opened);
    WaitForSingleObject(finish, 30000);
    if (open) {
        const ULONGLONG deadline = GetTickCount64() + 3000;
        while (input->Received().size() < expected && GetTickCount64() < deadline) {
            Sleep(10);
        }
        for (const LibraryMessage& message : input->Received()) {
            std::string line = "message";
            for (std::uint8_t byte : message.bytes) {
                char hex[4];
                std::snprintf(hex, sizeof(hex), " %02X", byte);
                line += hex;
            }
            std::printf("%s\n", line.c_str());
        }
        input->Close();
        std::printf("closed\n");
    }
    std::fflush(stdout);
    CloseHandle(opened);
    CloseHandle(finish);
    return open ? 0 : 1;
}
