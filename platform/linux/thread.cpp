/* thread.cpp - CreateThread on a detached host thread; the handle can be
 * waited for and closed at any time, independently of the thread. */
#include "internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace win {
namespace {

struct ThreadState {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
};

struct ThreadObject : detail::Object {
    std::shared_ptr<ThreadState> state;
    DWORD wait(DWORD milliseconds) override
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        if (milliseconds == INFINITE) {
            state->done.wait(lock, [this] { return state->finished; });
            return WAIT_OBJECT_0;
        }
        bool finished = state->done.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                              [this] { return state->finished; });
        return finished ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
};

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD, LPDWORD lpThreadId)
{
    static std::atomic<DWORD> next_id{1000};
    if (detail::should_fail("CreateThread") || !lpStartAddress) {
        SetLastError(lpStartAddress ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto state = std::make_shared<ThreadState>();
    try {
        std::thread([state, lpStartAddress, lpParameter] {
            DWORD code = lpStartAddress(lpParameter);
            std::lock_guard<std::mutex> lock(state->mutex);
            state->exitCode = code;
            state->finished = true;
            state->done.notify_all();
        }).detach();
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ThreadObject *object = new ThreadObject;
    object->state = state;
    if (lpThreadId)
        *lpThreadId = next_id++;
    return detail::new_handle(object);
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    ThreadObject *thread = detail::object_as<ThreadObject>(hThread);
    if (!thread)
        return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(thread->state->mutex);
    *lpExitCode = thread->state->exitCode;
    return TRUE;
}

}  // namespace win
