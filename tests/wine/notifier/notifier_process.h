// A running OvtmNtfy.exe as a Wine-tier test sees it: started with a chosen command line,
// its windows counted as it creates them, end-of-session queries sent to it like the system
// sends them. Every wait has a time limit; a notifier left running is ended with the object.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace ovtm::notifier_test {

constexpr DWORD kStartLimitMs = 10000; // for the notifier to end or show its window
constexpr DWORD kQueryLimitMs = 5000;  // for one query to be answered

// What became of a freshly started notifier.
enum class StartOutcome { Running, Exited, Hung };

class NotifierProcess {
  public:
    NotifierProcess() = default;
    NotifierProcess(const NotifierProcess&) = delete;
    NotifierProcess& operator=(const NotifierProcess&) = delete;
    ~NotifierProcess();

    // Starts the notifier with exactly this command line and waits until it either ends or
    // shows its window.
    StartOutcome Start(const std::wstring& commandLine);

    // The notifier window this process owns, or nullptr.
    HWND Window() const;
    // Windows the process created since Start, and of them those of the notifier's class.
    int WindowsCreated() const { return windowsCreated_; }
    int NotifierWindowsCreated() const { return notifierWindowsCreated_; }

    bool WaitForExit(DWORD limitMs);
    std::optional<DWORD> ExitCode() const; // nullopt while it runs

    // Sends WM_QUERYENDSESSION with lParam; the answer, or nullopt when none came (the
    // notifier ended instead of answering, or the time limit passed).
    std::optional<LRESULT> SendEndSessionQuery(LPARAM lParam);
    // Posts a message to the notifier window.
    bool Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

  private:
    static void CALLBACK OnObjectCreated(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object,
                                         LONG child, DWORD thread, DWORD time);

    PROCESS_INFORMATION info_{};
    HWINEVENTHOOK hook_ = nullptr;
    int windowsCreated_ = 0;
    int notifierWindowsCreated_ = 0;
};

// The notifier beside the test program, quoted as the system quotes a program path.
std::wstring NotifierPath();
std::wstring QuotedNotifier();
// A command line whose word begins at the 0-based index position, spaces filling the gap
// after the quoted program path.
std::wstring CommandLineWithWordAt(std::size_t position, const std::wstring& word);

// How many notifier windows (class and title) exist in the session.
int CountNotifierWindows();

// Pumps this thread's messages for ms; the window-event hook is delivered through them.
void PumpMessages(DWORD ms);

} // namespace ovtm::notifier_test
