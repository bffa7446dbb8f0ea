#pragma once
// The message-loop yield: long loops on the window thread (the connection scan, the download loop) call
// Yield() at fixed points so pending window messages, timer ticks and clicks are handled inside them.

namespace corvane::platform {

// Handles every window message pending on this thread, then returns. Without an application object
// there is nothing to handle and it returns at once.
void Yield();

}  // namespace corvane::platform
