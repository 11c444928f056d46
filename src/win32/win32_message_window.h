// The Windows window's end of the engine's messages: the bounded queue, with a posted window
// message that asks the window's thread to take what is queued.
#pragma once

#include <windows.h>

#include "window/message_queue.h"

namespace quillet::win32 {

/// Queues the engine's messages for a window and, once per batch, posts it kWakeMessage so that
/// it takes them on its own thread. Lives as long as the engine that posts through it; the window
/// detaches itself before it goes, after which every post fails and the payload dies on the
/// posting thread.
class Win32MessageWindow final : public window::MessageQueue {
  public:
    /// Asks the receiver to take() what is queued; posted, never sent.
    static constexpr UINT kWakeMessage = WM_APP + 1;

    Win32MessageWindow() = default;
    ~Win32MessageWindow() = default;

    /// Sets the window that receives kWakeMessage and starts taking posts.
    void attach(HWND receiver);

    /// Refuses posts and destroys what is queued; once this returns, nothing more is posted to
    /// the former receiver.
    void detach();

  private:
    void wake() override;

    // Written while the queue is closed, read by wake() under the queue's lock.
    HWND receiver_ = nullptr;
};

}  // namespace quillet::win32
