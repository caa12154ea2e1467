// ovtm-record: records the keyboard's MIDI input into a Standard MIDI File, until Ctrl+C or for
// a given time, with the driver's own timestamps. --list shows the MIDI inputs present.
#include <windows.h>

#include <mmsystem.h>
#include <mmddk.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "ovtm_control.h"
#include "smf_writer.h"

namespace record {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoInput = 2;
constexpr int kExitFailed = 3;

constexpr size_t kLongBufferCount = 4;
constexpr DWORD kLongBufferSize = 256;

// The keyboard's driver reports its state (sustain, octave shift) when asked with this private
// request, and from then on sends each octave change as a system-exclusive notification.
constexpr UINT kStateRequest = DRVM_USER;
constexpr DWORD_PTR kStateRequestReport = 1;

const char kUsage[] =
    "Usage: ovtm-record [--seconds S] [--input NAME] [FILE.mid]\n"
    "       ovtm-record --list\n"
    "Records the MIDI input \"" OVTM_DEVICE_NAME_TEXT "\" (or NAME) into FILE.mid\n"
    "(recording.mid unless given): a format-0 Standard MIDI File, one tick a millisecond.\n"
    "Stops at Ctrl+C, or after S seconds. --list shows the MIDI inputs.\n"
    "Exit codes: 0 done, 1 wrong arguments, 2 no such MIDI input or no keyboard connected,\n"
    "3 the input or the file failed (a file that cannot be written fails before recording).\n";

// Set by Ctrl+C or Ctrl+Break: the recording ends and the file is written.
HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
        SetEvent(g_stopEvent);
        return TRUE;
    }
    return FALSE;
}

// What the input's callback hands over, from the driver's thread to the main thread. The
// callback only stores and signals: the multimedia functions are called from the main thread.
struct Recording {
    std::mutex lock;
    std::vector<TimedMessage> messages;
    HANDLE buffersReturned = nullptr; // a system-exclusive buffer came back filled
};

void CALLBACK OnMidiInput(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                          DWORD_PTR param2) {
    auto* recording = reinterpret_cast<Recording*>(instance);
    if (message == MIM_DATA) {
        std::vector<uint8_t> bytes = ShortMessageBytes(static_cast<uint32_t>(param1));
        if (bytes.empty())
            return;
        std::lock_guard<std::mutex> hold(recording->lock);
        recording->messages.push_back({static_cast<uint32_t>(param2), std::move(bytes)});
    } else if (message == MIM_LONGDATA) {
        auto* header = reinterpret_cast<MIDIHDR*>(param1);
        if (header->dwBytesRecorded > 0) {
            const auto* data = reinterpret_cast<const uint8_t*>(header->lpData);
            std::lock_guard<std::mutex> hold(recording->lock);
            recording->messages.push_back(
                {static_cast<uint32_t>(param2),
                 std::vector<uint8_t>(data, data + header->dwBytesRecorded)});
        }
        SetEvent(recording->buffersReturned);
    }
}

std::string Narrow(const wchar_t* text) {
    std::string result;
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length > 1) {
        result.resize(static_cast<size_t>(length - 1));
        WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), length, nullptr, nullptr);
    }
    return result;
}

int ListInputs() {
    UINT count = midiInGetNumDevs();
    if (count == 0) {
        std::printf("no MIDI inputs\n");
        return kExitOk;
    }
    for (UINT id = 0; id < count; ++id) {
        MIDIINCAPSW caps{};
        if (midiInGetDevCapsW(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR)
            std::printf("%3u: %s\n", id, Narrow(caps.szPname).c_str());
    }
    return kExitOk;
}

bool FindInput(const std::string& name, UINT* id) {
    UINT count = midiInGetNumDevs();
    for (UINT i = 0; i < count; ++i) {
        MIDIINCAPSW caps{};
        if (midiInGetDevCapsW(i, &caps, sizeof(caps)) == MMSYSERR_NOERROR &&
            Narrow(caps.szPname) == name) {
            *id = i;
            return true;
        }
    }
    return false;
}

// The output file, opened before the recording starts: a path that cannot be written fails at
// once instead of after an hour of playing. An existing file keeps its bytes until the recording
// is written over it; a file this run created is removed again when nothing is recorded.
class OutputFile {
  public:
    explicit OutputFile(const std::string& path) : path_(path) {
        created_ = GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
        handle_ = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        error_ = handle_ == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    ~OutputFile() {
        if (handle_ == INVALID_HANDLE_VALUE)
            return;
        CloseHandle(handle_);
        if (created_ && !written_)
            DeleteFileA(path_.c_str());
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    DWORD Error() const { return error_; }

    bool Write(const std::vector<uint8_t>& bytes) {
        DWORD done = 0;
        written_ =
            SetFilePointer(handle_, 0, nullptr, FILE_BEGIN) == 0 &&
            ::WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) &&
            done == bytes.size() && SetEndOfFile(handle_) && FlushFileBuffers(handle_);
        if (!written_)
            error_ = GetLastError();
        return written_;
    }

  private:
    std::string path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DWORD error_ = ERROR_SUCCESS;
    bool created_ = false;
    bool written_ = false;
};

// Queues the system-exclusive buffers. A MIDI system that cannot take them (one that leaves
// preparing to a driver that does not prepare) still delivers short messages: the recording goes
// on without system-exclusive messages, and says so once.
size_t QueueLongBuffers(HMIDIIN input, std::vector<MIDIHDR>& headers) {
    size_t queued = 0;
    MMRESULT refusal = MMSYSERR_NOERROR;
    for (MIDIHDR& header : headers) {
        MMRESULT result = midiInPrepareHeader(input, &header, sizeof(MIDIHDR));
        if (result == MMSYSERR_NOERROR) {
            result = midiInAddBuffer(input, &header, sizeof(MIDIHDR));
            if (result != MMSYSERR_NOERROR)
                midiInUnprepareHeader(input, &header, sizeof(MIDIHDR));
        }
        if (result == MMSYSERR_NOERROR)
            ++queued;
        else
            refusal = result;
    }
    if (queued == 0)
        std::fprintf(stderr,
                     "ovtm-record: system-exclusive messages are not recorded: the MIDI system "
                     "refused input buffers (error %u)\n",
                     refusal);
    return queued;
}

int Record(const std::string& inputName, const std::string& path, DWORD seconds) {
    UINT id = 0;
    if (!FindInput(inputName, &id)) {
        std::fprintf(stderr, "ovtm-record: no MIDI input named \"%s\" (see --list)\n",
                     inputName.c_str());
        return kExitNoInput;
    }
    OutputFile file(path);
    if (!file.IsOpen()) {
        std::fprintf(stderr, "ovtm-record: cannot write %s (error %lu)\n", path.c_str(),
                     static_cast<unsigned long>(file.Error()));
        return kExitFailed;
    }
    Recording recording;
    recording.buffersReturned = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HMIDIIN input = nullptr;
    MMRESULT result = midiInOpen(&input, id, reinterpret_cast<DWORD_PTR>(OnMidiInput),
                                 reinterpret_cast<DWORD_PTR>(&recording), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        CloseHandle(recording.buffersReturned);
        CloseHandle(g_stopEvent);
        g_stopEvent = nullptr;
        // The keyboard's driver refuses the open with "invalid handle" when no keyboard is
        // connected; a driver that went missing means the same to the person recording.
        if (result == MMSYSERR_INVALHANDLE || result == MMSYSERR_NODRIVER) {
            std::fprintf(stderr,
                         "ovtm-record: \"%s\" cannot be opened: no keyboard is connected "
                         "(error %u)\n",
                         inputName.c_str(), result);
            return kExitNoInput;
        }
        std::fprintf(stderr, "ovtm-record: opening \"%s\" failed with %u\n", inputName.c_str(),
                     result);
        return kExitFailed;
    }

    std::vector<std::vector<char>> storage(kLongBufferCount, std::vector<char>(kLongBufferSize));
    std::vector<MIDIHDR> headers(kLongBufferCount);
    for (size_t i = 0; i < kLongBufferCount; ++i) {
        headers[i].lpData = storage[i].data();
        headers[i].dwBufferLength = kLongBufferSize;
    }
    const size_t queued = QueueLongBuffers(input, headers);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    result = midiInStart(input);
    if (result == MMSYSERR_NOERROR) {
        // The file then starts with the keyboard's state and holds its octave changes. Only our
        // keyboard's driver knows the request, and only where system-exclusive messages are
        // recorded: otherwise the file would hold some of them after all.
        if (queued > 0 && inputName == OVTM_DEVICE_NAME_TEXT)
            midiInMessage(input, kStateRequest, kStateRequestReport, 0);
        std::fprintf(stderr, "ovtm-record: recording \"%s\" into %s%s\n", inputName.c_str(),
                     path.c_str(), seconds ? "" : " until Ctrl+C");
        const ULONGLONG end = seconds ? GetTickCount64() + 1000ull * seconds : 0;
        HANDLE waits[] = {g_stopEvent, recording.buffersReturned};
        for (;;) {
            DWORD wait = INFINITE;
            if (end) {
                ULONGLONG now = GetTickCount64();
                if (now >= end)
                    break;
                wait = static_cast<DWORD>(end - now);
            }
            DWORD woken = WaitForMultipleObjects(2, waits, FALSE, wait);
            if (woken != WAIT_OBJECT_0 + 1)
                break;
            // Filled system-exclusive buffers go back to the input for the next message.
            for (MIDIHDR& header : headers) {
                if ((header.dwFlags & (MHDR_PREPARED | MHDR_DONE)) == (MHDR_PREPARED | MHDR_DONE)) {
                    header.dwBytesRecorded = 0;
                    header.dwFlags &= ~MHDR_DONE;
                    midiInAddBuffer(input, &header, sizeof(MIDIHDR));
                }
            }
        }
        midiInStop(input);
    } else {
        std::fprintf(stderr, "ovtm-record: starting the input failed with %u\n", result);
    }
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    midiInReset(input);
    for (MIDIHDR& header : headers) {
        if (header.dwFlags & MHDR_PREPARED)
            midiInUnprepareHeader(input, &header, sizeof(MIDIHDR));
    }
    midiInClose(input);
    CloseHandle(recording.buffersReturned);
    CloseHandle(g_stopEvent);
    g_stopEvent = nullptr;
    if (result != MMSYSERR_NOERROR)
        return kExitFailed;

    size_t notes = 0;
    for (const TimedMessage& message : recording.messages) {
        if ((message.bytes[0] & 0xF0) == 0x90 && message.bytes.size() == 3 && message.bytes[2])
            ++notes;
    }
    if (!file.Write(WriteStandardMidiFile(recording.messages))) {
        std::fprintf(stderr, "ovtm-record: could not write %s (error %lu)\n", path.c_str(),
                     static_cast<unsigned long>(file.Error()));
        return kExitFailed;
    }
    std::printf("%zu messages, %zu notes played, written to %s\n", recording.messages.size(), notes,
                path.c_str());
    return kExitOk;
}

} // namespace
} // namespace record

int main(int argc, char** argv) {
    std::string input = OVTM_DEVICE_NAME_TEXT;
    std::string path = "recording.mid";
    DWORD seconds = 0;
    bool haveFile = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h" || word == "/?") {
            std::printf("%s", record::kUsage);
            return record::kExitOk;
        }
        if (word == "--list") {
            if (argc == 2)
                return record::ListInputs();
            std::fprintf(stderr, "ovtm-record: --list takes nothing else\n%s", record::kUsage);
            return record::kExitUsage;
        }
        if ((word == "--seconds" || word == "--input") && i + 1 < argc) {
            std::string value = argv[++i];
            if (word == "--input") {
                input = value;
                continue;
            }
            char* end = nullptr;
            unsigned long n = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end || n == 0 || n > 86400) {
                std::fprintf(stderr, "ovtm-record: --seconds needs 1 to 86400, not '%s'\n%s",
                             value.c_str(), record::kUsage);
                return record::kExitUsage;
            }
            seconds = static_cast<DWORD>(n);
        } else if (!word.empty() && word[0] != '-' && !haveFile) {
            path = word;
            haveFile = true;
        } else {
            std::fprintf(stderr, "ovtm-record: unexpected '%s'\n%s", word.c_str(), record::kUsage);
            return record::kExitUsage;
        }
    }
    return record::Record(input, path, seconds);
}
