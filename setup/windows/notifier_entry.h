// The notifier's run entry (HKLM ...\Run, so that every logon starts it) and the running
// notifier itself: started after install, ended before its file is replaced or removed.
#pragma once

#include <optional>
#include <string>

#include "step_runner.h"

namespace ovtm::setup {

// The run entry's text, or nullopt when it is absent.
std::optional<std::string> NotifierRunEntry();

// Writes the entry; *previous receives what was there (nullopt: nothing), for the undo.
StepResult WriteNotifierRunEntry(const std::string& command, std::optional<std::string>* previous);

// Puts back what was there before (deletes the entry when there was none).
StepResult RestoreNotifierRunEntry(const std::optional<std::string>& previous);

StepResult DeleteNotifierRunEntry();

// Starts the notifier with the run entry's command, as a logon would, and waits until its
// window is there.
StepResult StartNotifier(const std::string& command);

// Closes the notifier's window and waits for its process to end.
StepResult StopNotifier();

bool NotifierRunning();

} // namespace ovtm::setup
