// What the client makes of the status byte of a server's answer (`KovraStatus`): the short English
// text printed in logs and API replies, and which values count as success. Used by the packet
// parser, the executor and every coin, mail and directory command. Pure table lookups: safe from
// any thread.
#pragma once
#include <cstddef>
#include <cstdint>

using KovraStatus = uint8_t;

// The text for a known status, "Unknown status code" for every other value; never null.
const char* status_text(KovraStatus status);
// True for exactly 0 ("No error"), 241 ("All pass") and 250 ("Success").
bool status_is_success(KovraStatus status);
// How many values the table names (127).
size_t status_table_size();
