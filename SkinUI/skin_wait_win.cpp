// Message-dispatching waits of the UI thread.
#include "SkinUI/skin_wait.h"

#include <exception>
#include <system_error>
#include <thread>

namespace SkinUI {
namespace {

// Dispatches this thread's messages until the event is set (if given) or timeoutMs has passed
// (INFINITE: no limit). WM_QUIT is kept back and posted again at the end, so that the caller's
// own message loop still sees it.
void DispatchUntil(HANDLE event, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    const DWORD handles = event ? 1 : 0;
    bool quit = false;
    WPARAM quitCode = 0;
    for (;;) {
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            const ULONGLONG now = GetTickCount64();
            wait = now >= end ? 0 : static_cast<DWORD>(end - now);
        }
        // MWMO_INPUTAVAILABLE: messages already seen by an earlier peek still wake the wait.
        const DWORD r = MsgWaitForMultipleObjectsEx(handles, event ? &event : nullptr, wait, QS_ALLINPUT,
                                                    MWMO_INPUTAVAILABLE);
        if (r == WAIT_TIMEOUT || (event && r == WAIT_OBJECT_0)) break;
        if (r == WAIT_FAILED) {
            // Cannot wait for messages: still wait for the work, unanswering as before.
            if (event) WaitForSingleObject(event, INFINITE);
            break;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quitCode = msg.wParam;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (quit) PostQuitMessage(static_cast<int>(quitCode));
}

struct EventOwner {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~EventOwner() {
        if (h) CloseHandle(h);
    }
};

}  // namespace

void RunWhileAnswering(const std::function<void()>& work) {
    EventOwner done;
    if (!done.h) {
        work();   // no event to wait on: run it here, as a plain call
        return;
    }
    std::exception_ptr failure;
    std::thread helper;
    try {
        helper = std::thread([&] {
            try {
                work();
            } catch (...) {
                failure = std::current_exception();
            }
            SetEvent(done.h);
        });
    } catch (const std::system_error&) {
        work();   // no thread to be had: a plain call
        return;
    }
    DispatchUntil(done.h, INFINITE);
    helper.join();
    if (failure) std::rethrow_exception(failure);
}

void PauseAnswering(DWORD ms) { DispatchUntil(nullptr, ms); }

}  // namespace SkinUI
