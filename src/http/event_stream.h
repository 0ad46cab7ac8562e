// The server-sent event stream on the HTTP port + 100: any request on that port opens the
// stream; at most eight clients are kept, each receives a keep-alive comment every 30 s and every
// broadcast frame ("new-mail" from the mail beacon). A client whose socket stops taking data is
// dropped at the next send. One stream per process. Start and stop run on the main thread;
// broadcast may be called from any thread. Lock order: the send lock, then the registry lock.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/result_code.h"

inline constexpr int SSE_MAX_CLIENTS = 8;
inline constexpr size_t SSE_FRAME_BYTES = 2048;
inline constexpr uint32_t SSE_KEEPALIVE_MS = 30000;

// Binds 127.0.0.1:port and starts the acceptor and keep-alive threads. RC_OK when running (also
// when it already was); RC_ERROR after logging the failed step, with nothing left open.
ResultCode event_stream_start(uint16_t port);
// Sends "event: <event>\ndata: <data>\n\n" to every client. Nothing happens when the stream is not
// running or a text is null; a frame of 2048 bytes or more, or one whose texts hold a line break,
// is skipped with a warning.
void event_stream_broadcast(const char* event, const char* data);
// Stops both threads, closes the listener and every client. Safe when not running.
void event_stream_stop();
bool event_stream_running();
int event_stream_client_count();
