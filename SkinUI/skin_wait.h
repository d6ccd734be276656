// Waits on the UI thread that keep its windows answering: Windows shows a window whose thread
// has not taken a message for five seconds as not responding, and offers to end the program.
#pragma once

#include <windows.h>

#include <functional>

namespace SkinUI {

// Runs work on a helper thread while this thread dispatches its messages, and returns when
// the work has ended (an exception it throws is thrown here). Disable the windows whose input
// must wait meanwhile. A quit request taken from the queue is posted again at the end.
void RunWhileAnswering(const std::function<void()>& work);
// A pause during which this thread's messages are dispatched, with the same quit rule.
void PauseAnswering(DWORD ms);

}  // namespace SkinUI
