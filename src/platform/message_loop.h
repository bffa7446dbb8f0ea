#pragma once
// The message-loop yield: long loops on the window thread (the connection scan, the download loop) call
// Yield() at fixed points so pending window messages, timer ticks and clicks are handled inside them.

namespace corvane::platform {

// Handles every window message pending on this thread, then returns. Without an application object
// there is nothing to handle and it returns at once.
void Yield();

// Like Yield, but when nothing is pending it sleeps until the next message arrives. For loops that wait
// on something that ends with a message (a network reply, a timer), so they do not spin.
void WaitForMessages();

}  // namespace corvane::platform
