// Watches what the process hands back to the allocator, to prove that
// secrets are wiped before their memory is released.
#pragma once

#include <cstddef>
#include <string_view>

// False where the allocator cannot be watched (under a sanitizer).
bool can_watch_freed_memory();
// From now on, every block this thread releases is searched for these bytes.
void watch_freed_memory(std::string_view secret);
// Stops watching; how many released blocks still held the bytes.
size_t freed_blocks_holding_secret();
